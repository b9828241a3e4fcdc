#include "rk/com/strand.h"

namespace rk::com {

Strand::Strand(static_thread_pool& pool) : Task_dispatcher(pool) {}

Strand::~Strand() {
    stop();
    wait();
}

void Strand::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    internal_stop();
    if (outstanding_work() == 0) notify_all();
}

void Strand::wait() { internal_wait(); }

void Strand::post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (is_stopped()) return;
    queue_.push_back(std::move(task));
    on_new_task();
    if (outstanding_work() != 1) return;
    // The count was zero, so the previous runner (if any) has already decided
    // to return: this is the only runner.
    bool queued = false;
    try {
        queued = pool_.post([self = weak_from_this().lock(), this] { run(); });
    } catch (...) {
        queue_.pop_back();
        on_task_completed();
        throw;
    }
    if (!queued) {
        queue_.pop_back();
        on_task_completed();
        if (is_stopped_transition_permissible()) internal_stop();
        notify_all();
    }
}

void Strand::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    running_thread_ = std::this_thread::get_id();
    while (!queue_.empty()) {
        auto task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        run_guarded(task);
        task = nullptr;
        lock.lock();
        on_task_completed();
        if (outstanding_work() == 0) {
            // Decided here, under the same lock a post takes: a task posted
            // after this point schedules a new runner.
            running_thread_ = std::thread::id();
            if (is_stopped_transition_permissible()) internal_stop();
            notify_all();
            return;
        }
    }
    running_thread_ = std::thread::id();
}

bool Strand::running_in_this_thread_locked() const {
    return running_thread_ == std::this_thread::get_id();
}

}  // namespace rk::com
