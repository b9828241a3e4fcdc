#include "rk/com/static_thread_pool.h"

#include "ara/log/logging.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace rk::com {

struct static_thread_pool::Shared {
    static constexpr std::uint8_t running = 0;
    static constexpr std::uint8_t stopped_state = 2;

    std::atomic<std::uint8_t> state{running};
    std::atomic<std::uint32_t> outstanding{0};
    std::mutex mutex;
    std::condition_variable wake_up;
    std::deque<std::function<void()>> queue;
};

namespace {

thread_local const static_thread_pool::Shared* current_pool = nullptr;

ara::log::Logger& pool_logger() {
    static ara::log::Logger& logger = ara::log::CreateLogger("RCOM", "communication runtime");
    return logger;
}

void run_task(std::function<void()>& task) noexcept {
    try {
        task();
    } catch (const std::exception& error) {
        pool_logger().LogError() << "Thread pool task ended with an exception:" << error.what();
    } catch (...) {
        pool_logger().LogError() << "Thread pool task ended with an unknown exception";
    }
}

void worker(std::shared_ptr<static_thread_pool::Shared> shared) {
    current_pool = shared.get();
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake_up.wait(lock, [&] {
            return !shared->queue.empty() ||
                   shared->state.load(std::memory_order_acquire) ==
                       static_thread_pool::Shared::stopped_state;
        });
        if (shared->queue.empty()) break;
        auto task = std::move(shared->queue.front());
        shared->queue.pop_front();
        lock.unlock();
        run_task(task);
        task = nullptr;
        shared->outstanding.fetch_sub(1, std::memory_order_acq_rel);
        lock.lock();
    }
    current_pool = nullptr;
}

}  // namespace

static_thread_pool::static_thread_pool(std::uint32_t num_threads)
    : num_threads_(num_threads == 0 ? 1 : num_threads), shared_(std::make_shared<Shared>()) {
    threads_.reserve(num_threads_);
    for (std::uint32_t i = 0; i < num_threads_; ++i) threads_.emplace_back(worker, shared_);
}

static_thread_pool::~static_thread_pool() {
    stop();
    for (auto& thread : threads_) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else if (thread.joinable()) {
            thread.join();
        }
    }
}

bool static_thread_pool::stopped() const noexcept {
    return shared_->state.load(std::memory_order_acquire) == Shared::stopped_state;
}

void static_thread_pool::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->state.store(Shared::stopped_state, std::memory_order_release);
    }
    shared_->wake_up.notify_all();
}

bool static_thread_pool::post(std::function<void()> task) {
    // Works on its own share of the state: the task may release the last
    // owner of this pool before post returns.
    const auto shared = shared_;
    if (shared->state.load(std::memory_order_acquire) == Shared::stopped_state) return false;
    // One unit held while queuing, given back however this ends.
    shared->outstanding.fetch_add(1, std::memory_order_seq_cst);
    struct Unit {
        Shared& shared;
        ~Unit() { shared.outstanding.fetch_sub(1, std::memory_order_acq_rel); }
    } unit{*shared};
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        // Checked again under the lock: the workers leave once they see the
        // stop with an empty queue, so nothing may be queued after that.
        if (shared->state.load(std::memory_order_relaxed) == Shared::stopped_state) return false;
        shared->queue.push_back(std::move(task));
        shared->outstanding.fetch_add(1, std::memory_order_seq_cst);
    }
    shared->wake_up.notify_one();
    return true;
}

void static_thread_pool::add_outstanding_work() noexcept {
    shared_->outstanding.fetch_add(1, std::memory_order_seq_cst);
}

void static_thread_pool::sub_outstanding_work() noexcept {
    shared_->outstanding.fetch_sub(1, std::memory_order_acq_rel);
}

std::uint32_t static_thread_pool::outstanding_work() const noexcept {
    return shared_->outstanding.load(std::memory_order_acquire);
}

bool static_thread_pool::running_in_this_thread() const noexcept {
    return current_pool == shared_.get();
}

}  // namespace rk::com
