// The communication runtime's thread pool: a fixed number of worker threads
// taking tasks from one queue. Stopping refuses new tasks; tasks already
// queued still run, so that every context that counted a task sees it end.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace rk::com {

class static_thread_pool {
public:
    explicit static_thread_pool(std::uint32_t num_threads);
    // Stops the pool, lets the queued tasks run and joins the workers. When the
    // last owner lets go inside one of the pool's own tasks, that worker is
    // detached instead and ends after the queue is empty.
    ~static_thread_pool();
    static_thread_pool(const static_thread_pool&) = delete;
    static_thread_pool& operator=(const static_thread_pool&) = delete;

    std::uint32_t num_threads() const noexcept { return num_threads_; }
    bool stopped() const noexcept;
    void stop() noexcept;

    // Queues a task; false (and the task dropped) once the pool is stopped.
    bool post(std::function<void()> task);

    void add_outstanding_work() noexcept;
    void sub_outstanding_work() noexcept;
    std::uint32_t outstanding_work() const noexcept;

    bool running_in_this_thread() const noexcept;

    class Outstanding_work_guard {
    public:
        explicit Outstanding_work_guard(static_thread_pool& pool) noexcept : pool_(pool) {
            pool_.add_outstanding_work();
        }
        ~Outstanding_work_guard() { pool_.sub_outstanding_work(); }
        Outstanding_work_guard(const Outstanding_work_guard&) = delete;
        Outstanding_work_guard& operator=(const Outstanding_work_guard&) = delete;

    private:
        static_thread_pool& pool_;
    };

    struct Shared;

private:
    std::uint32_t num_threads_;
    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
};

}  // namespace rk::com
