// Placeholder platform backend until the PHM daemon connection exists:
// no failures arrive, checkpoints cannot be delivered.
#include "ara/phm/phm_backend.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace ara::phm {
namespace {

class Idle_failure_source final : public Failure_source {
public:
    void subscribe(const std::string&) override {}
    void run(const std::function<void(const std::string&)>&) override {
        std::unique_lock<std::mutex> lock(mutex_);
        stopped_changed_.wait(lock, [this] { return stopped_; });
    }
    void stop() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        stopped_changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable stopped_changed_;
    bool stopped_ = false;
};

class Unreachable_checkpoint_sink final : public Checkpoint_sink {
public:
    void checkpoint(const std::string&, std::uint16_t, std::uint16_t) override {
        throw std::runtime_error("PHM is not reachable");
    }
};

}  // namespace

std::unique_ptr<Failure_source> make_default_failure_source() {
    return std::make_unique<Idle_failure_source>();
}

std::shared_ptr<Checkpoint_sink> make_default_checkpoint_sink() {
    return std::make_shared<Unreachable_checkpoint_sink>();
}

}  // namespace ara::phm
