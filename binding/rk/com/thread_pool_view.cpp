#include "rk/com/thread_pool_view.h"

#include <algorithm>
#include <optional>

namespace rk::com {

Thread_pool_view::Thread_pool_view(static_thread_pool& pool) : Task_dispatcher(pool) {
    running_threads_.reserve(pool.num_threads());
}

Thread_pool_view::~Thread_pool_view() { wait(); }

void Thread_pool_view::wait() { internal_wait(); }

void Thread_pool_view::post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (is_stopped()) return;
    on_new_task();
    // Lock order: the view's mutex, then the pool's; the pool never takes ours.
    bool queued = false;
    try {
        queued = pool_.post([self = weak_from_this().lock(), this, task = std::move(task)] {
            run(task);
        });
    } catch (...) {
        complete_one();
        throw;
    }
    if (!queued) complete_one();
}

void Thread_pool_view::complete_one() noexcept {
    on_task_completed();
    if (is_stopped_transition_permissible()) internal_stop();
    if (outstanding_work() == 0) notify_all();
}

void Thread_pool_view::run(const std::function<void()>& task) {
    std::optional<Running_thread_guard> registration;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        registration.emplace(*this);
    }
    struct Completion {
        Thread_pool_view& view;
        std::optional<Running_thread_guard>& registration;
        ~Completion() {
            std::lock_guard<std::mutex> lock(view.mutex_);
            registration.reset();
            view.complete_one();
        }
    } completion{*this, registration};
    {
        auto copy = task;
        run_guarded(copy);
    }
}

bool Thread_pool_view::running_in_this_thread_locked() const {
    return std::find(running_threads_.begin(), running_threads_.end(),
                     std::this_thread::get_id()) != running_threads_.end();
}

Thread_pool_view::Running_thread_guard::Running_thread_guard(Thread_pool_view& view)
    : view_(view) {
    view_.running_threads_.push_back(std::this_thread::get_id());
}

Thread_pool_view::Running_thread_guard::~Running_thread_guard() {
    auto& threads = view_.running_threads_;
    auto found = std::find(threads.begin(), threads.end(), std::this_thread::get_id());
    if (found != threads.end()) threads.erase(found);
}

}  // namespace rk::com
