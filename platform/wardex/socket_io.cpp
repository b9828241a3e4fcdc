#include "wardex/socket_io.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

Fd stream_socket() {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) fail(errno, "socket");
    return fd;
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void Fd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Fd connect_unix(const std::string& path) {
    const auto address = address_of(path);
    Fd fd = stream_socket();
    int result;
    do {
        result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) fail(errno, "connect to " + path);
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
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) fail(errno, "fcntl " + path);
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

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_) fail(errno, "eventfd");
}

void Wakeup::notify() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_.get(), &one, sizeof one);
}

void Wakeup::drain() noexcept {
    std::uint64_t count;
    [[maybe_unused]] const auto read = ::read(fd_.get(), &count, sizeof count);
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

Line_connection::Line_connection(Fd fd)
    : fd_(std::move(fd)),
      splitter_([this](std::string_view line) { lines_.emplace_back(line); },
                [this] { ++overlong_; }) {}

void Line_connection::send_line(std::string_view line) {
    std::string data(line);
    data += '\n';
    write_all(fd_.get(), data);
}

bool Line_connection::read_available() {
    char buffer[4096];
    for (;;) {
        const ssize_t received = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (received > 0) {
            splitter_.feed(std::string_view(buffer, static_cast<std::size_t>(received)));
            if (static_cast<std::size_t>(received) < sizeof buffer) return true;
            continue;
        }
        if (received == 0) return false;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return false;
    }
}

std::optional<std::string> Line_connection::next_line() {
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

std::optional<std::string> Line_connection::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto line = next_line()) return line;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd waiting{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) fail(errno, "poll");
        if (ready > 0 && !read_available()) {
            if (auto line = next_line()) return line;
            fail(ECONNRESET, "connection closed by the peer");
        }
    }
}

}  // namespace wardex::io
