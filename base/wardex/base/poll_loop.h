// One thread's wait on many descriptors: it sleeps until one of them is
// ready, it is woken, or the next deadline has come, and then calls the
// descriptor's handler and the tick. It runs on a thread of its own (start)
// or on the caller's (run). Handlers may watch and unwatch descriptors,
// their own included, and stop the loop.
#pragma once

#include "wardex/base/wakeup.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace wardex::base {

using Clock = std::chrono::steady_clock;

// Milliseconds from now until the deadline for a wait of poll or epoll:
// rounded up, so that a wait never ends just before it; 0 once it has
// passed; at most `most`.
int wait_ms_until(Clock::time_point deadline, int most = 60000);

class Poll_loop {
public:
    using Clock = base::Clock;
    using Handler = std::function<void()>;

    // Throws std::system_error when epoll or the wake-up cannot be made.
    Poll_loop();
    // Stops the thread (see stop).
    ~Poll_loop();
    Poll_loop(const Poll_loop&) = delete;
    Poll_loop& operator=(const Poll_loop&) = delete;

    // on_readable runs on the loop thread whenever fd has data, an error or
    // a hang-up. Throws std::system_error.
    void watch(int fd, Handler on_readable);
    // on_writable runs whenever fd takes more data, until unwatch_writable.
    void watch_writable(int fd, Handler on_writable);
    void unwatch_writable(int fd) noexcept;
    // Ends both watches of fd: after this returns no new call of its
    // handlers starts.
    void unwatch(int fd) noexcept;

    // Runs the loop on this thread until stop(): after every wake-up
    // on_tick (when given); it never sleeps past next_deadline() (when given).
    void run(std::function<Clock::time_point()> next_deadline = {}, Handler on_tick = {});
    // Runs the loop on a thread of its own, which holds keep_alive until it ends.
    void start(std::function<Clock::time_point()> next_deadline, Handler on_tick,
               std::shared_ptr<const void> keep_alive);
    // The deadline may have moved closer.
    void wake() noexcept { wakeup_.notify(); }
    // Ends the loop; joins its own thread (detaches it when called from
    // that thread).
    void stop() noexcept;

private:
    struct Watch {
        Handler readable;
        Handler writable;
    };
    void update(int fd, Watch watch);
    bool stopping();
    void dispatch(int fd, unsigned events);

    Fd epoll_;
    Wakeup wakeup_;
    std::mutex mutex_;
    std::map<int, Watch> watches_;
    bool stopping_{false};
    std::thread thread_;
};

}  // namespace wardex::base
