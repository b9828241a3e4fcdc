// Test doubles of PHM and of execution management (a journal of its requests,
// into which tests also write verdicts) and a supervision monitor on the two.
#pragma once

#include "WardexGlobals.h"
#include "WardexMonitor.h"

#include "ara/exec/exec_backend.h"
#include "ara/exec/recovery_action_client.h"
#include "ara/log/capture.h"
#include "ara/phm/phm_callback_client.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <set>

namespace wardex_test {

using norda::phm::wardex::NotificationType;
using norda::phm::wardex::WardexMonitor;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

// The texts of the captured messages of one level (and context, unless empty).
inline Strings texts(const ara::log::Capture& capture, ara::log::LogLevel level, const std::string& context = "") {
    Strings found;
    for (const auto& record : capture.records()) {
        if (record.level == level && (context.empty() || record.context == context)) found.push_back(record.text());
    }
    return found;
}

// Failures are delivered through the client by the tests; Run only waits
// for the stop. `refused` and `onStop` are set before any Run.
class Scripted_failure_source final : public ara::phm::Failure_source {
public:
    void subscribe(const std::string& name) override {
        if (refused.count(name) != 0) throw std::runtime_error("PHM refused " + name);
        subscribed.push_back(name);
    }
    void run(const std::function<void(const std::string&)>&) override {
        std::unique_lock<std::mutex> lock(mutex_);
        stopped_changed_.wait(lock, [this] { return stopped_; });
    }
    void stop() override {
        if (onStop) onStop();
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        stopped_changed_.notify_all();
    }
    std::set<std::string> refused;
    Strings subscribed;
    std::function<void()> onStop;

private:
    std::mutex mutex_;
    std::condition_variable stopped_changed_;
    bool stopped_ = false;
};

// Each request runs `onRequest` (set while no request runs; it may throw, as
// a refused request does) on the requesting thread, then goes into the journal.
class Recording_execution_backend final : public ara::exec::Execution_backend {
public:
    void report_state(ara::exec::ApplicationState) noexcept override {}
    void restart_instance(const std::string& instance) override { request("restart " + instance); }
    void stop_instance(const std::string& instance) override { request("stop " + instance); }
    void reset_platform(int delay_ms) override { request("reset " + std::to_string(delay_ms)); }
    void note(const std::string& entry) {
        const std::lock_guard<std::mutex> lock(mutex_);
        journal_.push_back(entry);
    }
    Strings journal() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return journal_;
    }
    std::function<void()> onRequest;

private:
    void request(const std::string& entry) {
        if (onRequest) onRequest();
        note(entry);
    }
    mutable std::mutex mutex_;
    Strings journal_;
};

// A supervision monitor on the doubles; its verdicts go the default way.
struct Supervision {
    void add(const std::string& id, unsigned short budget, std::vector<NotificationType> errors,
             std::vector<NotificationType> limits, const std::string& swid = "0x1234",
             unsigned short healingMinutes = 1) {
        monitor.RegisterApplication(phm, id, budget, 0, std::move(errors), std::move(limits),
                                    {id + ".fail"}, swid, 7, healingMinutes, "MW1");
    }
    // One failure, delivered on the calling thread as the client's Run would.
    void fail(const std::string& id) { phm.Deliver(id + ".fail"); }
    Strings journal() const { return backend->journal(); }

    std::shared_ptr<Recording_execution_backend> backend = std::make_shared<Recording_execution_backend>();
    ara::exec::Recovery_action_client client{backend};
    Scripted_failure_source* source = new Scripted_failure_source;
    ara::phm::PhmCallbackClient phm{std::unique_ptr<ara::phm::Failure_source>(source)};
    WardexMonitor monitor{true, client};
};

}  // namespace wardex_test
