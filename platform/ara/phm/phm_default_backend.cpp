// The PHM daemon connection: supervision failures arrive as lines on phm.sock,
// alive checkpoints leave as lines on a connection of their own.
#include "ara/phm/phm_backend.h"

#include "ara/log/logging.h"
#include "wardex/limited_warnings.h"
#include "wardex/paths.h"
#include "wardex/protocol.h"
#include "wardex/socket_io.h"

#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
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

// The connection is the Run thread's own: Stop() and subscribe() only set
// state under the mutex and wake the thread, and the thread never waits with
// the mutex held, so neither of them can be held up by a PHM that stalls.
class Socket_failure_source final : public Failure_source {
public:
    Socket_failure_source(std::string path, std::chrono::milliseconds retry)
        : path_(std::move(path)), retry_(retry) {}

    void subscribe(const std::string& name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(name);
        if (added_ != nullptr) added_->notify();
    }

    void run(const std::function<void(const std::string&)>& deliver) override {
        if (!create_wakeups()) return;
        // stop_ stays readable once stop() has notified it: it ends the waits
        // of this thread, those of the callbacks it delivers to included.
        wardex::io::Cancel_scope cancel(stop_->fd());
        Link link;
        while (!stopped()) {
            bool open = true;
            try {
                if (!connect_or_wait(link)) continue;
                open = exchange(link);
            } catch (const std::system_error& error) {
                if (error.code().value() == ECANCELED) break;
                open = false;
            }
            if (link.connection != nullptr) {
                while (auto line = link.connection->next_line()) handle_line(*line, deliver);
            }
            if (!open) drop(link);
        }
    }

    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        if (stop_ != nullptr) stop_->notify();
    }

private:
    static constexpr std::chrono::seconds kConnectTimeout{1};

    // The Run thread's connection and what it has sent on it.
    struct Link {
        std::unique_ptr<wardex::io::Line_connection> connection;
        std::size_t announced = 0;       // names_ sent on this connection
        bool announced_absence = false;  // PHM's absence or loss was logged
    };

    // Creates the wake-ups on the first run; false once stop() was called.
    bool create_wakeups() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return false;
        if (stop_ == nullptr) {
            stop_ = std::make_unique<wardex::io::Wakeup>();
            added_ = std::make_unique<wardex::io::Wakeup>();
        }
        return true;
    }

    // Whether there is a connection; without one, a new one is tried, and if
    // PHM does not take it the retry interval is waited out first.
    bool connect_or_wait(Link& link) {
        if (link.connection != nullptr) return true;
        link.connection = connect(link.announced_absence);
        link.announced = 0;
        if (link.connection != nullptr) return true;
        pollfd stop[1] = {{stop_->fd(), POLLIN, 0}};
        wait(stop, 1, static_cast<int>(retry_.count()));
        return false;
    }

    // Sends the subscriptions not yet sent, waits until PHM sends or takes
    // more, and reads one bounded chunk: its failures are handled before
    // more is read, however much PHM sends. False once PHM closed.
    bool exchange(Link& link) {
        announce(*link.connection, link.announced);
        pollfd fds[3] = {{stop_->fd(), POLLIN, 0},
                         {added_->fd(), POLLIN, 0},
                         {link.connection->fd(), waiting_events(*link.connection, link.announced), 0}};
        wait(fds, 3, -1);
        if (fds[1].revents != 0) added_->drain();
        if (fds[2].revents == 0) return true;
        return link.connection->read_some();
    }

    // A PHM that closes every connection at once must not fill the log;
    // "Connected to PHM" follows only a loss logged.
    void drop(Link& link) {
        link.connection.reset();
        link.announced_absence = warn("Connection to PHM lost; reconnecting",
                                      [](auto& stream) { stream << "Connection to PHM lost; reconnecting"; });
    }

    bool stopped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }

    std::unique_ptr<wardex::io::Line_connection> connect(bool& announced_absence) {
        try {
            auto connection = std::make_unique<wardex::io::Line_connection>(
                wardex::io::connect_unix(path_, kConnectTimeout));
            if (announced_absence) logger().LogInfo() << "Connected to PHM";
            announced_absence = false;
            return connection;
        } catch (const std::system_error& error) {
            if (error.code().value() == ECANCELED) throw;
            if (!announced_absence) {
                announced_absence = warn("PHM is not reachable", [&](auto& stream) {
                    stream << "PHM is not reachable, waiting for it:" << error.what();
                });
            }
            return nullptr;
        }
    }

    // Queues the subscriptions not yet sent on this connection, as far as
    // the outgoing queue takes them; the rest follow as PHM reads.
    void announce(wardex::io::Line_connection& connection, std::size_t& announced) {
        for (;;) {
            std::string name;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (announced == names_.size()) break;
                name = names_[announced];
            }
            const std::string line = wardex::protocol::format(subscribe_message(name));
            if (connection.waiting() + line.size() + 1 > wardex::io::Line_connection::kDefaultMaxOutgoing) break;
            ++announced;
            if (!wardex::protocol::valid_name(name)) {
                logger().LogWarn() << "Callback name not announced to PHM:" << wardex::protocol::printable(name);
                continue;
            }
            connection.send_line(line);
        }
        connection.flush();
    }

    short waiting_events(const wardex::io::Line_connection& connection, std::size_t announced) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool sending = connection.waiting() != 0 || announced != names_.size();
        return static_cast<short>(POLLIN | (sending ? POLLOUT : 0));
    }

    static Phm_message subscribe_message(const std::string& name) {
        Phm_message message;
        message.kind = Phm_message::Kind::kSubscribe;
        message.name = name;
        return message;
    }

    // Waits until one of fds is ready or the timeout ends; ECANCELED once
    // stop() was called.
    static void wait(pollfd* fds, nfds_t count, int timeout_ms) {
        const int ready = ::poll(fds, count, timeout_ms);
        if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
        wardex::io::throw_if_cancelled("PHM client stopped");
    }

    // Logs a warning PHM's input causes through the process's limiter, keyed
    // by the socket; true when it was logged.
    template <typename Write>
    bool warn(std::string_view kind, Write&& write) const {
        return wardex::log::limited_warnings().warn(logger(), kind, path_, std::forward<Write>(write));
    }

    void handle_line(const std::string& line, const std::function<void(const std::string&)>& deliver) const {
        std::string error;
        const auto message = wardex::protocol::parse_phm_line(line, error);
        if (!message || message->kind != Phm_message::Kind::kFailure) {
            warn("Ignored line from PHM", [&](auto& stream) {
                stream << "Ignored line from PHM:" << wardex::protocol::printable(line)
                       << (message ? std::string("unexpected message") : error);
            });
            return;
        }
        deliver(message->name);
    }

    const std::string path_;
    const std::chrono::milliseconds retry_;
    std::mutex mutex_;
    std::vector<std::string> names_;
    std::unique_ptr<wardex::io::Wakeup> stop_;
    std::unique_ptr<wardex::io::Wakeup> added_;
    bool stopped_ = false;
};

// Checkpoints never wait for PHM: each one is queued on the connection and
// sent as far as the socket takes it. A PHM that takes nothing fills the
// small queue, and the checkpoint after that fails.
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
        const std::string line = wardex::protocol::format(message);

        std::lock_guard<std::mutex> lock(mutex_);
        // A connection that the daemon closed (it restarted) fails on the
        // first write; one fresh connection is tried before giving up.
        for (int attempt = 0;; ++attempt) {
            const bool fresh = connection_ == nullptr;
            try {
                if (fresh) {
                    connection_ = std::make_unique<wardex::io::Line_connection>(
                        wardex::io::connect_unix(path_, kConnectTimeout), kMaxWaiting);
                }
                connection_->send_line(line);
                return;
            } catch (const std::system_error& error) {
                connection_.reset();
                const int code = error.code().value();
                if (fresh || attempt == 1 || (code != EPIPE && code != ECONNRESET)) {
                    throw std::runtime_error(std::string("PHM is not reachable: ") + error.what());
                }
            }
        }
    }

private:
    static constexpr std::chrono::milliseconds kConnectTimeout{100};
    static constexpr std::size_t kMaxWaiting = 4096;

    const std::string path_;
    std::mutex mutex_;
    std::unique_ptr<wardex::io::Line_connection> connection_;
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
