// A view on the runtime's thread pool: its tasks run in parallel on the pool,
// and `wait()` waits for exactly the tasks this view accepted. Once waited
// for, the view accepts nothing more.
//
// Make views with std::make_shared: a running task keeps its view alive until
// the task's bookkeeping is done, even when the view's owner let go meanwhile.
#pragma once

#include "rk/com/task_dispatcher.h"

#include <memory>
#include <thread>
#include <vector>

namespace rk::com {

class Thread_pool_view : private Task_dispatcher,
                         public std::enable_shared_from_this<Thread_pool_view> {
public:
    explicit Thread_pool_view(static_thread_pool& pool);
    ~Thread_pool_view() override;

    // Dropped once the view is stopped, or when the pool refuses it.
    void post(std::function<void()> task);
    void wait();

    using Task_dispatcher::outstanding;
    using Task_dispatcher::running_in_this_thread;
    using Task_dispatcher::state;
    using Task_dispatcher::running;
    using Task_dispatcher::stopping;
    using Task_dispatcher::stopped;

    // Registers the current thread as running one of the view's tasks; the
    // view's mutex must be held at construction and at destruction.
    class Running_thread_guard {
    public:
        explicit Running_thread_guard(Thread_pool_view& view);
        ~Running_thread_guard();
        Running_thread_guard(const Running_thread_guard&) = delete;
        Running_thread_guard& operator=(const Running_thread_guard&) = delete;

    private:
        Thread_pool_view& view_;
    };

private:
    bool running_in_this_thread_locked() const override;
    void run(const std::function<void()>& task);
    void complete_one() noexcept;

    std::vector<std::thread::id> running_threads_;
};

}  // namespace rk::com
