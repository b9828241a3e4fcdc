// Test double of execution management: records every recovery request in a
// journal (shared with whatever else a test wants to order against, such as
// verdicts) and can be told to refuse requests with an exception.
#pragma once

#include "ara/exec/exec_backend.h"

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace wardex_test {

// Thrown to stand for an exception that is not a std::exception.
struct Not_a_std_exception {};

class Recording_execution_backend final : public ara::exec::Execution_backend {
public:
    enum class Failure { kNone, kSystemError, kRuntimeError, kNonStd };

    void report_state(ara::exec::ApplicationState state) noexcept override {
        note("state " + std::to_string(static_cast<int>(state)));
    }
    void restart_instance(const std::string& instance) override { request("restart " + instance); }
    void stop_instance(const std::string& instance) override { request("stop " + instance); }
    void reset_platform(int delay_ms) override { request("reset " + std::to_string(delay_ms)); }

    // Every following request throws.
    void fail_with(Failure failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = failure;
    }
    // Runs inside every request, before it is recorded, on the requesting thread.
    void on_request(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }
    void note(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        journal_.push_back(entry);
    }
    std::vector<std::string> journal() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return journal_;
    }

private:
    void request(const std::string& entry) {
        std::function<void()> hook;
        Failure failure;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hook = hook_;
            failure = failure_;
        }
        if (hook) hook();
        switch (failure) {
            case Failure::kNone: break;
            case Failure::kSystemError:
                throw std::system_error(std::make_error_code(std::errc::connection_refused),
                                        "EM refused");
            case Failure::kRuntimeError: throw std::runtime_error("EM gone");
            case Failure::kNonStd: throw Not_a_std_exception{};
        }
        note(entry);
    }

    mutable std::mutex mutex_;
    std::vector<std::string> journal_;
    Failure failure_ = Failure::kNone;
    std::function<void()> hook_;
};

}  // namespace wardex_test
