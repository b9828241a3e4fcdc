// A hand-written stand-in for the PHM or EM daemon in tests of the platform
// backends: listens on a private socket, records every line it receives,
// answers through a reply function and can push lines to its clients.
#pragma once

#include "wardex/socket_io.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
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
        : path_(std::move(path)), reply_(std::move(reply)), listening_(io::listen_unix(path_)) {
        thread_ = std::thread([this] { serve(); });
    }

    ~Fake_line_daemon() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        wakeup_.notify();
        thread_.join();
        ::unlink(path_.c_str());
    }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    bool wait_for_lines(std::size_t count) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
    }

    // Writes raw bytes to every connected client.
    void send_to_all(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : connections_) io::write_all(entry.first, bytes);
    }

private:
    void serve() {
        for (;;) {
            std::vector<pollfd> fds{{wakeup_.fd(), POLLIN, 0}, {listening_.get(), POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopped_) return;
                for (auto& entry : connections_) fds.push_back({entry.first, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) <= 0) continue;
            if ((fds[1].revents & POLLIN) != 0) {
                while (auto fd = io::accept_connection(listening_.get())) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    const int key = fd.get();
                    connections_.emplace(key, std::make_unique<io::Line_connection>(std::move(fd)));
                }
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents != 0) read_from(fds[i].fd);
            }
        }
    }

    void read_from(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = connections_.find(fd);
        if (found == connections_.end()) return;
        auto& connection = *found->second;
        const bool open = connection.read_some();
        while (auto line = connection.next_line()) {
            lines_.push_back(*line);
            changed_.notify_all();
            const auto answer = reply_ ? reply_(*line) : std::nullopt;
            try {
                if (answer) connection.send_line(*answer);
            } catch (...) {
            }
        }
        if (!open) connections_.erase(found);
    }

    const std::string path_;
    const Reply reply_;
    io::Fd listening_;
    io::Wakeup wakeup_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<int, std::unique_ptr<io::Line_connection>> connections_;
    std::vector<std::string> lines_;
    bool stopped_ = false;
    std::thread thread_;
};

// A socket path of its own under the test's build folder.
inline std::string private_socket(const std::string& name) {
    return std::string(WARDEX_TEST_SOCKET_DIR) + "/" + name + "-" + std::to_string(::getpid()) + ".sock";
}

}  // namespace wardex::testing
