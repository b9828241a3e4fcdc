// A hand-written stand-in for the PHM or EM daemon in tests of the platform
// backends: listens on a private socket, records every line it receives,
// answers through a reply function and can push lines to its clients.
#pragma once

#include "support/wait_until.h"
#include "wardex/socket_io.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace wardex::testing {

class Fake_line_daemon {
public:
    using Reply = std::function<std::optional<std::string>(const std::string& line)>;

    explicit Fake_line_daemon(std::string path, Reply reply = {})
        : path_(std::move(path)), reply_(std::move(reply)), listening_(io::listen_unix(path_)) {}
    ~Fake_line_daemon() {
        stopped_ = true;
        thread_.join();
        ::unlink(path_.c_str());
    }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool wait_for_lines(std::size_t count) const {
        return test::wait_until([&] { return lines().size() >= count; });
    }
    // Writes raw bytes to every connected client.
    void send_to_all(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& connection : connections_) io::write_all(connection->fd(), bytes);
    }

private:
    // Polls with a short time-out so that the destructor needs no wake-up.
    void serve() {
        while (!stopped_) {
            std::vector<pollfd> fds{{listening_.get(), POLLIN, 0}};
            for (auto& connection : connections_) fds.push_back({connection->fd(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 5) <= 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);  // only this thread changes the connections
            while (auto fd = io::accept_connection(listening_.get())) {
                connections_.push_back(std::make_unique<io::Line_connection>(std::move(fd)));
            }
            for (std::size_t i = fds.size() - 1; i > 0; --i) {
                if (fds[i].revents == 0) continue;
                auto& connection = *connections_[i - 1];
                const bool open = connection.read_some();
                while (auto line = connection.next_line()) {
                    lines_.push_back(*line);
                    try {
                        if (auto answer = reply_ ? reply_(*line) : std::nullopt) connection.send_line(*answer);
                    } catch (const std::exception&) {  // the client is gone
                    }
                }
                if (!open) connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i - 1));
            }
        }
    }

    const std::string path_;
    const Reply reply_;
    io::Fd listening_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<io::Line_connection>> connections_;
    std::vector<std::string> lines_;
    std::atomic<bool> stopped_{false};
    std::thread thread_{[this] { serve(); }};
};

// A socket path of its own under the test's build folder.
inline std::string private_socket(const std::string& name) {
    return std::string(WARDEX_TEST_SOCKET_DIR) + "/" + name + "-" + std::to_string(::getpid()) + ".sock";
}

}  // namespace wardex::testing
