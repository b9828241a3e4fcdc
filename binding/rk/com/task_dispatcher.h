// Bookkeeping shared by the execution contexts on the runtime's thread pool:
// a count of accepted tasks that have not completed, a state (running,
// stopping, stopped) and a wait for the accepted tasks that returns at once
// when called from one of the context's own tasks.
#pragma once

#include "rk/com/static_thread_pool.h"
#include "tq/com/interface.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace rk::com {

class Task_dispatcher : public tq::com::Interface {
public:
    static constexpr std::uint8_t running = 0;
    static constexpr std::uint8_t stopping = 1;
    static constexpr std::uint8_t stopped = 2;

    ~Task_dispatcher() override = default;

    bool running_in_this_thread() const;

    // For observers (tests, diagnostics); taken under the lock.
    std::uint8_t state() const;
    std::uint32_t outstanding() const;

protected:
    explicit Task_dispatcher(static_thread_pool& pool) : pool_(pool) {}

    // With the mutex held.
    virtual bool running_in_this_thread_locked() const = 0;

    // All of these expect the mutex to be held.
    void on_new_task() noexcept { ++outstanding_; }
    void on_task_completed() noexcept { --outstanding_; }
    std::uint32_t outstanding_work() const noexcept { return outstanding_; }
    bool is_stopped() const noexcept { return state_ == stopped; }
    bool is_stopped_transition_permissible() const noexcept {
        return outstanding_ == 0 && state_ == stopping;
    }
    void internal_stop() noexcept { state_ = stopped; }
    void notify_all() noexcept { wake_up_.notify_all(); }

    // Takes the mutex itself.
    void internal_wait();

    // Runs a task, logging what escapes it instead of letting it end a pool thread.
    static void run_guarded(const std::function<void()>& task) noexcept;

    static_thread_pool& pool_;
    mutable std::mutex mutex_;
    std::uint8_t state_{running};
    std::uint32_t outstanding_{0};
    std::condition_variable wake_up_;
};

}  // namespace rk::com
