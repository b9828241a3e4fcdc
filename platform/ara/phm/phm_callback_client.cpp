#include "ara/phm/phm_callback_client.h"

namespace ara::phm {

PhmCallbackClient::PhmCallbackClient() : PhmCallbackClient(make_default_failure_source()) {}

PhmCallbackClient::PhmCallbackClient(std::unique_ptr<Failure_source> source)
    : source_(std::move(source)) {}

PhmCallbackClient::~PhmCallbackClient() {
    try {
        Stop();
    } catch (...) {
    }
}

void PhmCallbackClient::RegisterCallback(const std::string& name, std::function<void()> callback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        callbacks_[name].push_back(std::move(callback));
    }
    source_->subscribe(name);
}

void PhmCallbackClient::Run(RunMode /*mode*/) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
    }
    // A Stop() between the check and run() reaches the source, which is sticky.
    source_->run([this](const std::string& name) { Deliver(name); });
}

void PhmCallbackClient::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    source_->stop();
}

bool PhmCallbackClient::stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

void PhmCallbackClient::Deliver(const std::string& name) {
    std::vector<std::function<void()>> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return;
        auto found = callbacks_.find(name);
        if (found == callbacks_.end()) return;
        targets = found->second;
    }
    // Callbacks run without the client's lock: they may take the monitor's lock,
    // and Stop() is called from another thread while they run.
    for (const auto& callback : targets) callback();
}

}  // namespace ara::phm
