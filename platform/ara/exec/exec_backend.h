// The seam between the ara::exec API and whatever carries its requests: the
// platform's execution management daemon, or a test double.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace ara::exec {

enum class ApplicationState : int {
    kRunning = 0,
    kShuttingdown = 1,
};

class Execution_backend {
public:
    virtual ~Execution_backend() = default;
    // Never throws; a state that cannot be delivered is dropped.
    virtual void report_state(ApplicationState state) noexcept = 0;
    // Each throws std::system_error (with the errno) when the request cannot
    // be delivered or is refused.
    virtual void restart_instance(const std::string& instance) = 0;
    virtual void stop_instance(const std::string& instance) = 0;
    virtual void reset_platform(int delay_ms) = 0;
};

// The platform's backend: the EM daemon on exec.sock of the platform run
// directory. It connects on its first request.
std::shared_ptr<Execution_backend> make_default_execution_backend();

// The same backend on another socket path. process_name identifies this
// process in its state reports; when empty, the application description given
// to ara::log::InitLogging is used, or else the executable's name.
std::shared_ptr<Execution_backend> make_socket_execution_backend(
    std::string socket_path, std::string process_name = {},
    std::chrono::milliseconds reply_timeout = std::chrono::seconds(2));

}  // namespace ara::exec
