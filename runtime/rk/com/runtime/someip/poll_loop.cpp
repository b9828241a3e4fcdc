#include "rk/com/runtime/someip/poll_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace rk::com::runtime::someip {

Poll_loop::Poll_loop() {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        const int error = errno;
        ::close(epoll_fd_);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_fd_;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event);
}

Poll_loop::~Poll_loop() {
    stop();
    ::close(wake_fd_);
    ::close(epoll_fd_);
}

void Poll_loop::watch(int fd, std::function<void()> on_readable) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_[fd] = std::move(on_readable);
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int error = errno;
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_.erase(fd);
        throw std::system_error(error, std::generic_category(), "epoll_ctl");
    }
}

void Poll_loop::unwatch(int fd) noexcept {
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.erase(fd);
}

void Poll_loop::start(std::function<Clock::time_point()> next_deadline,
                      std::function<void()> on_tick, std::shared_ptr<const void> keep_alive) {
    next_deadline_ = std::move(next_deadline);
    on_tick_ = std::move(on_tick);
    thread_ = std::thread([this, keep_alive = std::move(keep_alive)] { run(); });
}

void Poll_loop::wake() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
}

void Poll_loop::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void Poll_loop::run() {
    epoll_event events[16];
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(next_deadline_() - Clock::now()).count();
        const int timeout = left < 0 ? 0 : left > 60000 ? 60000 : static_cast<int>(left);
        const int count = ::epoll_wait(epoll_fd_, events, 16, timeout);
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_fd_) {
                std::uint64_t value = 0;
                [[maybe_unused]] const auto got = ::read(wake_fd_, &value, sizeof value);
                continue;
            }
            std::function<void()> handler;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) return;
                auto found = handlers_.find(fd);
                if (found != handlers_.end()) handler = found->second;
            }
            if (handler) handler();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        on_tick_();
    }
}

}  // namespace rk::com::runtime::someip
