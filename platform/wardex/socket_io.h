// Unix stream sockets of the platform run directory, and a line-oriented
// connection over one. Failures are std::system_error with the errno.
#pragma once

#include "wardex/protocol.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace wardex::io {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// Connects to the socket at path.
Fd connect_unix(const std::string& path);

// Listens on path with mode 0660, non-blocking; a stale socket file left
// there is replaced.
Fd listen_unix(const std::string& path, int backlog = 16);

// Accepts one waiting connection, non-blocking; an empty Fd when none waits.
Fd accept_connection(int listening_fd);

// Writes all of data; never raises SIGPIPE.
void write_all(int fd, std::string_view data);

// An eventfd used to wake a poll; writable from any thread.
class Wakeup {
public:
    Wakeup();
    void notify() noexcept;
    void drain() noexcept;
    int fd() const { return fd_.get(); }

private:
    Fd fd_;
};

// Creates every missing directory of path (like mkdir -p), mode 0755.
void make_directories(const std::string& path);

// Lines in, lines out over one connected socket.
class Line_connection {
public:
    explicit Line_connection(Fd fd);

    int fd() const { return fd_.get(); }

    void send_line(std::string_view line);

    // The next line, waiting at most timeout; nothing on time-out. Throws
    // std::system_error (ECONNRESET) when the peer has closed.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);

    // Reads what is available without waiting and queues the lines; false
    // when the peer has closed.
    bool read_available();
    std::optional<std::string> next_line();

    // Overlong lines seen so far.
    unsigned overlong_lines() const { return overlong_; }

private:
    Fd fd_;
    std::deque<std::string> lines_;
    unsigned overlong_ = 0;
    protocol::Line_splitter splitter_;
};

}  // namespace wardex::io
