// A strand on the runtime's thread pool: its tasks run one at a time, in the
// order posted, on whichever pool thread is free. At most one runner is
// scheduled on the pool at any time.
//
// Make strands with std::make_shared: the runner keeps its strand alive until
// its bookkeeping is done.
#pragma once

#include "rk/com/task_dispatcher.h"

#include <deque>
#include <memory>
#include <thread>

namespace rk::com {

class Strand : private Task_dispatcher, public std::enable_shared_from_this<Strand> {
public:
    explicit Strand(static_thread_pool& pool);
    // Stops the strand and waits until every accepted task has run.
    ~Strand() override;

    // Dropped once the strand is stopped, or when the pool refuses the runner.
    void post(std::function<void()> task);
    // Accepts no more tasks; tasks already queued still run.
    void stop();
    void wait();

    // Runs the queued tasks in order; returns once the queue is empty.
    void run();

    using Task_dispatcher::outstanding;
    using Task_dispatcher::running_in_this_thread;
    using Task_dispatcher::state;
    using Task_dispatcher::running;
    using Task_dispatcher::stopping;
    using Task_dispatcher::stopped;

private:
    bool running_in_this_thread_locked() const override;

    std::thread::id running_thread_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace rk::com
