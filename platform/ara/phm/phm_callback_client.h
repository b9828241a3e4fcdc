// ara::phm callback client: delivers supervision failures reported by PHM to
// the functions registered under their callback names.
#pragma once

#include "ara/phm/phm_backend.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ara::phm {

enum class RunMode : int { kDefault = 0 };

class PhmCallbackClient {
public:
    PhmCallbackClient();
    explicit PhmCallbackClient(std::unique_ptr<Failure_source> source);
    ~PhmCallbackClient();
    PhmCallbackClient(const PhmCallbackClient&) = delete;
    PhmCallbackClient& operator=(const PhmCallbackClient&) = delete;

    // A second registration under one name adds a second function; both run.
    void RegisterCallback(const std::string& name, std::function<void()> callback);

    // Blocks delivering callbacks until Stop() is called. A Run that starts
    // after Stop() returns at once.
    void Run(RunMode mode);
    void Run(int mode) { Run(static_cast<RunMode>(mode)); }

    // Makes the running Run return; sticky.
    void Stop();
    bool stopped() const;

    // Calls every function registered under the name, in registration order,
    // on the calling thread. Used by the failure source while Run is active.
    void Deliver(const std::string& name);

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<std::function<void()>>> callbacks_;
    std::unique_ptr<Failure_source> source_;
    bool stopped_ = false;
};

}  // namespace ara::phm
