// The one receiving thread of the SOME/IP transport: waits until one of its
// descriptors is readable, it is woken, or the next deadline has come, and
// then calls the descriptor's handler and the tick.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace rk::com::runtime::someip {

class Poll_loop {
public:
    using Clock = std::chrono::steady_clock;

    // Throws std::system_error when epoll or the wake-up descriptor cannot be made.
    Poll_loop();
    // Stops the thread (see stop) and closes the descriptors.
    ~Poll_loop();
    Poll_loop(const Poll_loop&) = delete;
    Poll_loop& operator=(const Poll_loop&) = delete;

    // on_readable runs on the loop thread whenever fd has data. Throws std::system_error.
    void watch(int fd, std::function<void()> on_readable);
    // After this returns no new call of the handler starts.
    void unwatch(int fd) noexcept;

    // Runs the thread: after every wake-up on_tick; it never sleeps past
    // next_deadline(). The thread holds keep_alive until it ends.
    void start(std::function<Clock::time_point()> next_deadline, std::function<void()> on_tick,
               std::shared_ptr<const void> keep_alive);
    // The deadline may have moved closer.
    void wake() noexcept;
    // Ends the thread and joins it (detaches it when called from the thread itself).
    void stop() noexcept;

private:
    void run();

    int epoll_fd_{-1};
    int wake_fd_{-1};
    std::mutex mutex_;
    std::map<int, std::function<void()>> handlers_;
    std::function<Clock::time_point()> next_deadline_;
    std::function<void()> on_tick_;
    bool stopping_{false};
    std::thread thread_;
};

}  // namespace rk::com::runtime::someip
