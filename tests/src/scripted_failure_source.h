// Test double of PHM for a callback client: a test reports a supervision
// failure by name, and the client's Run delivers it on the thread that runs it.
#pragma once

#include "ara/phm/phm_backend.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace wardex_test {

class Scripted_failure_source final : public ara::phm::Failure_source {
public:
    void subscribe(const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (refused_.count(name) != 0) throw std::runtime_error("PHM refused " + name);
        subscribed_.push_back(name);
    }

    void run(const std::function<void(const std::string&)>& deliver) override {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopped_ || !pending_.empty(); });
            if (stopped_) break;
            const std::string name = pending_.front();
            lock.unlock();
            deliver(name);
            lock.lock();
            pending_.pop_front();
            changed_.notify_all();
        }
        changed_.notify_all();
    }

    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

    // Reports one failure under the name; Run delivers it.
    void fail(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(name);
        changed_.notify_all();
    }

    // A later subscription under this name throws.
    void refuse(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        refused_.insert(name);
    }

    // Waits until every reported failure has been delivered (its callback has
    // returned); false on time-out.
    bool wait_until_delivered(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return pending_.empty(); });
    }

    std::vector<std::string> subscribed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return subscribed_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> pending_;
    std::vector<std::string> subscribed_;
    std::set<std::string> refused_;
    bool stopped_ = false;
};

}  // namespace wardex_test
