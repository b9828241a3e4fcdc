#include "wardex/socket_io.h"

#include "wardex/base/poll_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace wardex::io {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

sockaddr_un address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        fail(ENAMETOOLONG, "socket path " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

void set_non_blocking(int fd, const std::string& what) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) fail(errno, "fcntl " + what);
}

Fd stream_socket() {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) fail(errno, "socket");
    return fd;
}

// The descriptor that cancels this thread's waits, or -1.
thread_local int cancel_fd = -1;

}  // namespace

Cancel_scope::Cancel_scope(int fd) : previous_(cancel_fd) { cancel_fd = fd; }

Cancel_scope::~Cancel_scope() { cancel_fd = previous_; }

void throw_if_cancelled(const char* while_doing) {
    if (cancel_fd < 0) return;
    pollfd cancel{cancel_fd, POLLIN, 0};
    if (::poll(&cancel, 1, 0) > 0) fail(ECANCELED, while_doing);
}

bool wait_for(int fd, short events, Deadline deadline) {
    for (;;) {
        // Checked before polling: a peer that keeps the descriptor ready (it
        // never stops writing, or reads a little at a time) must not stretch
        // the wait of a caller that loops over it.
        if (Clock::now() >= deadline) {
            throw_if_cancelled("stopped while waiting");
            return false;
        }
        pollfd fds[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
        const int timeout = wardex::base::wait_ms_until(deadline, std::numeric_limits<int>::max());
        const int ready = ::poll(fds, cancel_fd >= 0 ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fail(errno, "poll");
        }
        if (cancel_fd >= 0 && fds[1].revents != 0) fail(ECANCELED, "stopped while waiting");
        if (fds[0].revents != 0) return true;
    }
}

Fd connect_unix(const std::string& path, Deadline deadline) {
    const auto address = address_of(path);
    Fd fd = stream_socket();
    // A listener whose backlog is full makes connect wait; the send time-out
    // bounds that wait, in short slices so that a cancel is seen.
    constexpr auto kSlice = std::chrono::milliseconds(50);
    for (;;) {
        throw_if_cancelled(("connect to " + path).c_str());
        // At least one attempt, however close the deadline; a zero time-out
        // would mean no limit at all.
        const auto slice = std::clamp<Clock::duration>(deadline - Clock::now(), std::chrono::microseconds(1), kSlice);
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(slice).count();
        timeval timeout{};
        timeout.tv_sec = static_cast<time_t>(us / 1000000);
        timeout.tv_usec = static_cast<suseconds_t>(us % 1000000);
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
            fail(errno, "setsockopt " + path);
        }
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) fail(errno, "connect to " + path);
        if (Clock::now() >= deadline) fail(ETIMEDOUT, "connect to " + path);
    }
    const timeval none{};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    set_non_blocking(fd.get(), path);
    return fd;
}

Fd listen_unix(const std::string& path, int backlog) {
    const auto address = address_of(path);
    Fd fd = stream_socket();
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) ::unlink(path.c_str());
    // The socket file is created with the final mode: group members may connect, others not.
    const mode_t previous_mask = ::umask(0117);
    const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bind_error = errno;
    ::umask(previous_mask);
    if (bound != 0) fail(bind_error, "bind " + path);
    if (::chmod(path.c_str(), 0660) != 0) fail(errno, "chmod " + path);
    if (::listen(fd.get(), backlog) != 0) fail(errno, "listen " + path);
    // Accepting in a loop stops at EAGAIN instead of blocking.
    set_non_blocking(fd.get(), path);
    return fd;
}

Fd accept_connection(int listening_fd) {
    const int fd = ::accept4(listening_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
            return Fd();
        }
        fail(errno, "accept");
    }
    return Fd(fd);
}

void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd waiting{fd, POLLOUT, 0};
                if (::poll(&waiting, 1, 1000) <= 0) fail(ETIMEDOUT, "send");
                continue;
            }
            fail(errno, "send");
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
}

void make_directories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            fail(errno, "mkdir " + prefix);
        }
        if (slash == std::string::npos) return;
    }
}

Line_connection::Line_connection(Fd fd, std::size_t max_outgoing)
    : fd_(std::move(fd)),
      max_outgoing_(max_outgoing),
      splitter_([this](std::string_view line) { lines_.emplace_back(line); },
                [this] { ++overlong_; }) {
    set_non_blocking(fd_.get(), "connection");
}

void Line_connection::send_line(std::string_view line) {
    if (outgoing_.size() + line.size() + 1 > max_outgoing_) {
        fail(ENOBUFS, std::to_string(outgoing_.size()) + " bytes wait for the peer");
    }
    outgoing_.append(line);
    outgoing_ += '\n';
    flush();
}

bool Line_connection::flush() {
    while (!outgoing_.empty()) {
        const ssize_t written = ::send(fd_.get(), outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
            fail(errno, "send");
        }
        outgoing_.erase(0, static_cast<std::size_t>(written));
    }
    return true;
}

void Line_connection::flush_until(Deadline deadline) {
    while (!flush()) {
        if (!wait_for(fd_.get(), POLLOUT, deadline)) fail(ETIMEDOUT, "send");
    }
}

bool Line_connection::read_some() {
    char buffer[kReadChunk];
    for (;;) {
        const ssize_t received = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (received > 0) {
            splitter_.feed(std::string_view(buffer, static_cast<std::size_t>(received)));
            return true;
        }
        if (received == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

std::optional<std::string> Line_connection::next_line() {
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

std::optional<std::string> Line_connection::read_line(Deadline deadline) {
    for (;;) {
        if (auto line = next_line()) return line;
        const bool sending = !flush();
        if (!wait_for(fd_.get(), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), deadline)) {
            return std::nullopt;
        }
        if (!read_some()) {
            if (auto line = next_line()) return line;
            fail(ECONNRESET, "connection closed by the peer");
        }
    }
}

}  // namespace wardex::io
