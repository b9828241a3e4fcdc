#include "wardex/base/poll_loop.h"

#include <sys/epoll.h>

#include <cerrno>
#include <system_error>

namespace wardex::base {

int wait_ms_until(Clock::time_point deadline, int most) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left > most ? most : static_cast<int>(left);
}

Poll_loop::Poll_loop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wakeup_.fd();
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wakeup_.fd(), &event) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
}

Poll_loop::~Poll_loop() { stop(); }

void Poll_loop::watch(int fd, Handler on_readable) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto watch = watches_.count(fd) != 0 ? watches_[fd] : Watch{};
    watch.readable = std::move(on_readable);
    update(fd, std::move(watch));
}

void Poll_loop::watch_writable(int fd, Handler on_writable) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto watch = watches_.count(fd) != 0 ? watches_[fd] : Watch{};
    watch.writable = std::move(on_writable);
    update(fd, std::move(watch));
}

void Poll_loop::unwatch_writable(int fd) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = watches_.find(fd);
    if (found == watches_.end() || !found->second.writable) return;
    try {
        update(fd, Watch{found->second.readable, nullptr});
    } catch (const std::system_error&) {
        watches_.erase(fd);
    }
}

void Poll_loop::unwatch(int fd) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (watches_.erase(fd) != 0) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

// Called with mutex_ held: the kernel's interest follows the handlers.
void Poll_loop::update(int fd, Watch watch) {
    const bool known = watches_.count(fd) != 0;
    epoll_event event{};
    event.events = (watch.readable ? EPOLLIN : 0u) | (watch.writable ? EPOLLOUT : 0u);
    event.data.fd = fd;
    if (::epoll_ctl(epoll_.get(), known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
    watches_[fd] = std::move(watch);
}

bool Poll_loop::stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

// The handlers are copied out under the lock and called without it; one
// unwatched meanwhile, by another thread or the first handler, is not called.
void Poll_loop::dispatch(int fd, unsigned events) {
    Handler handler;
    for (const bool writable : {true, false}) {
        if ((writable ? events & EPOLLOUT : events & ~EPOLLOUT) == 0) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            auto found = watches_.find(fd);
            if (found == watches_.end()) return;
            handler = writable ? found->second.writable : found->second.readable;
        }
        if (handler) handler();
    }
}

void Poll_loop::run(std::function<Clock::time_point()> next_deadline, Handler on_tick) {
    constexpr int kMaxEvents = 16;
    epoll_event events[kMaxEvents];
    while (!stopping()) {
        const int timeout = next_deadline ? wait_ms_until(next_deadline()) : -1;
        const int count = ::epoll_wait(epoll_.get(), events, kMaxEvents, timeout);
        for (int i = 0; i < count; ++i) {
            if (events[i].data.fd == wakeup_.fd()) {
                wakeup_.drain();
            } else {
                dispatch(events[i].data.fd, events[i].events);
            }
        }
        if (stopping()) return;
        if (on_tick) on_tick();
    }
}

void Poll_loop::start(std::function<Clock::time_point()> next_deadline, Handler on_tick,
                      std::shared_ptr<const void> keep_alive) {
    thread_ = std::thread([this, next_deadline = std::move(next_deadline), on_tick = std::move(on_tick),
                           keep_alive = std::move(keep_alive)]() mutable {
        run(std::move(next_deadline), std::move(on_tick));
    });
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

}  // namespace wardex::base
