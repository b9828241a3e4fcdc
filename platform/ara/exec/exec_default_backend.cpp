// The EM daemon connection: every request is one line on exec.sock, answered
// by "ok" or "error <errno> <text>".
#include "ara/exec/exec_backend.h"

#include "ara/log/logging.h"
#include "wardex/paths.h"
#include "wardex/protocol.h"
#include "wardex/socket_io.h"

#include <cerrno>
#include <mutex>
#include <system_error>

namespace ara::exec {
namespace {

using wardex::protocol::Exec_message;

const ara::log::Logger& logger() {
    static const ara::log::Logger& instance = ara::log::CreateLogger("EXEC", "EM client");
    return instance;
}

std::string own_process_name() {
    std::string name = ara::log::ApplicationDescription();
    if (name.empty()) name = program_invocation_short_name;
    return name;
}

class Socket_execution_backend final : public Execution_backend {
public:
    Socket_execution_backend(std::string path, std::string process_name,
                             std::chrono::milliseconds reply_timeout)
        : path_(std::move(path)), process_name_(std::move(process_name)), timeout_(reply_timeout) {}

    void report_state(ApplicationState state) noexcept override {
        try {
            Exec_message message;
            message.kind = Exec_message::Kind::kState;
            message.name = process_name_.empty() ? own_process_name() : process_name_;
            message.state = state == ApplicationState::kRunning ? "kRunning" : "kShuttingdown";
            request(message);
        } catch (const std::exception& error) {
            logger().LogWarn() << "Execution state not reported:" << error.what();
        } catch (...) {
            logger().LogWarn() << "Execution state not reported";
        }
    }

    void restart_instance(const std::string& instance) override {
        request(instance_message(Exec_message::Kind::kRestart, instance));
    }

    void stop_instance(const std::string& instance) override {
        request(instance_message(Exec_message::Kind::kStop, instance));
    }

    void reset_platform(int delay_ms) override {
        if (delay_ms < 0) {
            throw std::system_error(EINVAL, std::generic_category(), "negative reset delay");
        }
        Exec_message message;
        message.kind = Exec_message::Kind::kResetPlatform;
        message.number = delay_ms;
        request(message);
    }

private:
    static Exec_message instance_message(Exec_message::Kind kind, const std::string& instance) {
        if (!wardex::protocol::valid_name(instance)) {
            throw std::system_error(EINVAL, std::generic_category(),
                                    "instance name cannot be sent: " +
                                        wardex::protocol::printable(instance));
        }
        Exec_message message;
        message.kind = kind;
        message.name = instance;
        return message;
    }

    void request(const Exec_message& message) {
        if (!wardex::protocol::valid_name(message.name) && message.kind == Exec_message::Kind::kState) {
            throw std::system_error(EINVAL, std::generic_category(), "process name cannot be sent");
        }
        const std::string line = wardex::protocol::format(message);
        std::lock_guard<std::mutex> lock(mutex_);
        send_locked(line);
        std::optional<std::string> reply;
        try {
            reply = connection_->read_line(timeout_);
        } catch (const std::system_error&) {
            connection_.reset();
            throw;
        }
        if (!reply) {
            // A late answer would be taken for the next request's.
            connection_.reset();
            throw std::system_error(ETIMEDOUT, std::generic_category(), "no answer from execution management");
        }
        std::string error;
        const auto answer = wardex::protocol::parse_exec_line(*reply, error);
        if (answer && answer->kind == Exec_message::Kind::kOk) return;
        if (answer && answer->kind == Exec_message::Kind::kError) {
            throw std::system_error(answer->number, std::generic_category(),
                                    "execution management refused " + line + ": " + answer->name);
        }
        logger().LogWarn() << "Ignored line from EM:" << wardex::protocol::printable(*reply)
                           << (answer ? std::string("unexpected message") : error);
        connection_.reset();
        throw std::system_error(EPROTO, std::generic_category(), "unexpected answer from execution management");
    }

    // A connection that the daemon closed (it restarted) fails on the first
    // write; the request then goes once over a fresh connection. A request
    // that was written is never sent twice.
    void send_locked(const std::string& line) {
        for (int attempt = 0;; ++attempt) {
            const bool fresh = connection_ == nullptr;
            if (fresh) {
                connection_ = std::make_unique<wardex::io::Line_connection>(wardex::io::connect_unix(path_));
            }
            try {
                connection_->send_line(line);
                return;
            } catch (const std::system_error&) {
                connection_.reset();
                if (fresh || attempt == 1) throw;
            }
        }
    }

    const std::string path_;
    const std::string process_name_;
    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::unique_ptr<wardex::io::Line_connection> connection_;
};

}  // namespace

std::shared_ptr<Execution_backend> make_socket_execution_backend(std::string socket_path,
                                                                 std::string process_name,
                                                                 std::chrono::milliseconds reply_timeout) {
    return std::make_shared<Socket_execution_backend>(std::move(socket_path), std::move(process_name),
                                                      reply_timeout);
}

std::shared_ptr<Execution_backend> make_default_execution_backend() {
    return make_socket_execution_backend(wardex::paths::run_dir() + "/exec.sock");
}

}  // namespace ara::exec
