// The EM daemon connection: every request is one line on exec.sock with an
// identity, answered by "answer <id> ok" or "answer <id> error <errno> <text>".
#include "ara/exec/exec_backend.h"

#include "ara/log/logging.h"
#include "wardex/limited_warnings.h"
#include "wardex/paths.h"
#include "wardex/protocol.h"
#include "wardex/socket_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
            request(message, std::min(timeout_, kStateReportTimeout));
        } catch (const std::exception& error) {
            logger().LogWarn() << "Execution state not reported:" << error.what();
        } catch (...) {
            logger().LogWarn() << "Execution state not reported";
        }
    }

    void restart_instance(const std::string& instance) override {
        request(instance_message(Exec_message::Kind::kRestart, instance), timeout_);
    }

    void stop_instance(const std::string& instance) override {
        request(instance_message(Exec_message::Kind::kStop, instance), timeout_);
    }

    void reset_platform(int delay_ms) override {
        if (delay_ms < 0) {
            throw std::system_error(EINVAL, std::generic_category(), "negative reset delay");
        }
        Exec_message message;
        message.kind = Exec_message::Kind::kResetPlatform;
        message.number = delay_ms;
        request(message, timeout_);
    }

private:
    // The shutdown report is the last thing the process waits for; a stalled
    // EM must not hold up the exit.
    static constexpr std::chrono::milliseconds kStateReportTimeout{250};

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

    // Connecting, sending and waiting for the answer all end at one deadline.
    // The request carries an identity and that deadline: EM does not carry
    // it out any more once the client has given up on it, and an answer that
    // comes late (or was never asked for) is recognised and dropped.
    void request(Exec_message message, std::chrono::milliseconds timeout) {
        if (!wardex::protocol::valid_name(message.name) && message.kind == Exec_message::Kind::kState) {
            throw std::system_error(EINVAL, std::generic_category(), "process name cannot be sent");
        }
        const std::string what = wardex::protocol::format(message);
        // A thread that is being stopped asks for nothing new.
        wardex::io::throw_if_cancelled((what + " not sent: stopping").c_str());
        const auto deadline = wardex::io::Clock::now() + timeout;
        std::lock_guard<std::mutex> lock(mutex_);
        if (++last_id_ == 0) ++last_id_;
        message.id = last_id_;
        message.deadline_ns = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count());
        send_locked(wardex::protocol::format(message), deadline);
        await_answer_locked(message.id, what, deadline);
    }

    // A connection that the daemon closed (it restarted) fails on the first
    // write; the request then goes once over a fresh connection. A request
    // that was written is never sent twice, and one written in part is cut
    // off with its connection, so EM never reads it whole.
    void send_locked(const std::string& line, wardex::io::Deadline deadline) {
        for (int attempt = 0;; ++attempt) {
            const bool fresh = connection_ == nullptr;
            try {
                if (fresh) {
                    connection_ = std::make_unique<wardex::io::Line_connection>(
                        wardex::io::connect_unix(path_, deadline));
                }
                connection_->send_line(line);
                connection_->flush_until(deadline);
                return;
            } catch (const std::system_error& error) {
                connection_.reset();
                const int code = error.code().value();
                if (fresh || attempt == 1 || (code != EPIPE && code != ECONNRESET)) throw;
            }
        }
    }

    // Lines that are not the answer are dropped. The first of a wait is
    // logged, the others are counted and the count logged when the wait
    // ends, so that an EM streaming junk costs at most the deadline and two
    // lines (fewer when that happens more than once a second).
    void await_answer_locked(std::uint32_t id, const std::string& what, wardex::io::Deadline deadline) {
        std::uint64_t ignored = 0;
        try {
            await_answer_locked(id, what, deadline, ignored);
        } catch (...) {
            log_ignored(ignored, what);
            throw;
        }
        log_ignored(ignored, what);
    }

    void await_answer_locked(std::uint32_t id, const std::string& what, wardex::io::Deadline deadline,
                             std::uint64_t& ignored) {
        for (;;) {
            std::optional<std::string> line;
            try {
                line = connection_->read_line(deadline);
            } catch (const std::system_error& error) {
                // The answer to a request given up on is dropped when it comes.
                if (error.code().value() == ECANCELED) {
                    throw std::system_error(ECANCELED, std::generic_category(),
                                            "stopped while waiting for the answer to " + what);
                }
                connection_.reset();
                throw;
            }
            if (!line) {
                throw std::system_error(ETIMEDOUT, std::generic_category(),
                                        "no answer from execution management to " + what);
            }
            std::string error;
            const auto answer = wardex::protocol::parse_exec_line(*line, error);
            const char* reason = nullptr;
            if (!answer) {
                reason = error.c_str();
            } else if (answer->kind != Exec_message::Kind::kOk && answer->kind != Exec_message::Kind::kError) {
                reason = "not an answer";
            } else if (answer->id == 0) {
                reason = "answer without identity";
            } else if (answer->id != id) {
                reason = answer->id < id ? "late answer" : "unsolicited answer";
            }
            if (reason != nullptr) {
                if (ignored++ == 0) {
                    wardex::log::limited_warnings().warn(logger(), "Ignored line from EM", path_, [&](auto& stream) {
                        stream << "Ignored line from EM:" << wardex::protocol::printable(*line) << reason;
                    });
                }
                continue;
            }
            if (answer->kind == Exec_message::Kind::kOk) return;
            throw std::system_error(answer->number, std::generic_category(),
                                    "execution management refused " + what + ": " + answer->name);
        }
    }

    void log_ignored(std::uint64_t ignored, const std::string& what) const {
        if (ignored < 2) return;
        wardex::log::limited_warnings().warn(logger(), "Ignored more lines from EM", path_, [&](auto& stream) {
            stream << "Ignored" << static_cast<unsigned long long>(ignored - 1)
                   << (ignored == 2 ? "more line" : "more lines")
                   << "from EM while waiting for the answer to" << what;
        });
    }

    const std::string path_;
    const std::string process_name_;
    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::unique_ptr<wardex::io::Line_connection> connection_;
    std::uint32_t last_id_ = 0;
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
