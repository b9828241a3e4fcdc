// The PHM daemon connection: supervision failures arrive as lines on phm.sock,
// alive checkpoints leave as lines on a connection of their own.
#include "ara/phm/phm_backend.h"

#include "ara/log/logging.h"
#include "wardex/paths.h"
#include "wardex/protocol.h"
#include "wardex/socket_io.h"

#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <poll.h>

namespace ara::phm {
namespace {

using wardex::protocol::Phm_message;

const ara::log::Logger& logger() {
    static const ara::log::Logger& instance = ara::log::CreateLogger("PHMC", "PHM client");
    return instance;
}

std::string default_socket_path() { return wardex::paths::run_dir() + "/phm.sock"; }

class Socket_failure_source final : public Failure_source {
public:
    Socket_failure_source(std::string path, std::chrono::milliseconds retry)
        : path_(std::move(path)), retry_(retry) {}

    void subscribe(const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(name);
        if (connection_ == nullptr) return;
        try {
            connection_->send_line(wardex::protocol::format(subscribe_message(name)));
        } catch (const std::system_error&) {
            // The run loop notices the broken connection and subscribes again.
        }
    }

    void run(const std::function<void(const std::string&)>& deliver) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_) return;
            if (wakeup_ == nullptr) wakeup_ = std::make_unique<wardex::io::Wakeup>();
        }
        bool announced_absence = false;
        for (;;) {
            wardex::io::Line_connection* connection;
            int wake_fd;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopped_) break;
                if (connection_ == nullptr && !connect_locked(announced_absence)) {
                    wake_fd = wakeup_->fd();
                    connection = nullptr;
                } else {
                    wake_fd = wakeup_->fd();
                    connection = connection_.get();
                }
            }
            if (connection == nullptr) {
                wait_readable(wake_fd, -1, static_cast<int>(retry_.count()));
                continue;
            }
            if (!wait_readable(wake_fd, connection->fd(), -1)) continue;
            const bool open = connection->read_available();
            while (auto line = connection->next_line()) handle_line(*line, deliver);
            if (!open) {
                logger().LogWarn() << "Connection to PHM lost; reconnecting";
                std::lock_guard<std::mutex> lock(mutex_);
                connection_.reset();
                announced_absence = true;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        connection_.reset();
    }

    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        if (wakeup_ != nullptr) wakeup_->notify();
    }

private:
    static Phm_message subscribe_message(const std::string& name) {
        Phm_message message;
        message.kind = Phm_message::Kind::kSubscribe;
        message.name = name;
        return message;
    }

    bool connect_locked(bool& announced_absence) {
        try {
            auto connection =
                std::make_unique<wardex::io::Line_connection>(wardex::io::connect_unix(path_));
            for (const auto& name : names_) {
                if (!wardex::protocol::valid_name(name)) {
                    logger().LogWarn() << "Callback name not announced to PHM:"
                                       << wardex::protocol::printable(name);
                    continue;
                }
                connection->send_line(wardex::protocol::format(subscribe_message(name)));
            }
            connection_ = std::move(connection);
            if (announced_absence) logger().LogInfo() << "Connected to PHM";
            announced_absence = false;
            return true;
        } catch (const std::system_error& error) {
            if (!announced_absence) {
                logger().LogWarn() << "PHM is not reachable, waiting for it:" << error.what();
                announced_absence = true;
            }
            return false;
        }
    }

    // Waits until the wake-up or the connection is readable, or the timeout
    // ends; true when the connection is readable.
    static bool wait_readable(int wake_fd, int connection_fd, int timeout_ms) {
        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {connection_fd, POLLIN, 0}};
        const int ready = ::poll(fds, connection_fd >= 0 ? 2 : 1, timeout_ms);
        if (ready <= 0) return false;
        return connection_fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }

    static void handle_line(const std::string& line,
                            const std::function<void(const std::string&)>& deliver) {
        std::string error;
        const auto message = wardex::protocol::parse_phm_line(line, error);
        if (!message || message->kind != Phm_message::Kind::kFailure) {
            logger().LogWarn() << "Ignored line from PHM:" << wardex::protocol::printable(line)
                               << (message ? std::string("unexpected message") : error);
            return;
        }
        deliver(message->name);
    }

    const std::string path_;
    const std::chrono::milliseconds retry_;
    std::mutex mutex_;
    std::vector<std::string> names_;
    std::unique_ptr<wardex::io::Line_connection> connection_;
    std::unique_ptr<wardex::io::Wakeup> wakeup_;
    bool stopped_ = false;
};

class Socket_checkpoint_sink final : public Checkpoint_sink {
public:
    explicit Socket_checkpoint_sink(std::string path) : path_(std::move(path)) {}

    void checkpoint(const std::string& client_name, std::uint16_t supervision_entity,
                    std::uint16_t checkpoint_id) override {
        if (!wardex::protocol::valid_name(client_name)) {
            throw std::runtime_error("PHM client name cannot be sent: " +
                                     wardex::protocol::printable(client_name));
        }
        Phm_message message;
        message.kind = Phm_message::Kind::kCheckpoint;
        message.name = client_name;
        message.supervision_entity = supervision_entity;
        message.checkpoint_id = checkpoint_id;
        const std::string line = wardex::protocol::format(message) + "\n";

        std::lock_guard<std::mutex> lock(mutex_);
        // A connection that the daemon closed (it restarted) fails on the
        // first write; one fresh connection is tried before giving up.
        for (int attempt = 0;; ++attempt) {
            try {
                if (!fd_) fd_ = wardex::io::connect_unix(path_);
                wardex::io::write_all(fd_.get(), line);
                return;
            } catch (const std::system_error& error) {
                fd_.reset();
                if (attempt == 1) {
                    throw std::runtime_error(std::string("PHM is not reachable: ") + error.what());
                }
            }
        }
    }

private:
    const std::string path_;
    std::mutex mutex_;
    wardex::io::Fd fd_;
};

}  // namespace

std::unique_ptr<Failure_source> make_socket_failure_source(std::string socket_path,
                                                           std::chrono::milliseconds retry_interval) {
    return std::make_unique<Socket_failure_source>(std::move(socket_path), retry_interval);
}

std::shared_ptr<Checkpoint_sink> make_socket_checkpoint_sink(std::string socket_path) {
    return std::make_shared<Socket_checkpoint_sink>(std::move(socket_path));
}

std::unique_ptr<Failure_source> make_default_failure_source() {
    return make_socket_failure_source(default_socket_path());
}

std::shared_ptr<Checkpoint_sink> make_default_checkpoint_sink() {
    return make_socket_checkpoint_sink(default_socket_path());
}

}  // namespace ara::phm
