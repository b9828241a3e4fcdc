#include "rk/com/task_dispatcher.h"

#include "ara/log/logging.h"

#include <exception>

namespace rk::com {

bool Task_dispatcher::running_in_this_thread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_in_this_thread_locked();
}

std::uint8_t Task_dispatcher::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::uint32_t Task_dispatcher::outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_;
}

void Task_dispatcher::internal_wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == running) state_ = outstanding_ > 0 ? stopping : stopped;
    if (running_in_this_thread_locked()) return;
    wake_up_.wait(lock, [this] { return state_ == stopped && outstanding_ == 0; });
}

void Task_dispatcher::run_guarded(const std::function<void()>& task) noexcept {
    static ara::log::Logger& logger = ara::log::CreateLogger("RCOM", "communication runtime");
    try {
        task();
    } catch (const std::exception& error) {
        logger.LogError() << "Task ended with an exception:" << error.what();
    } catch (...) {
        logger.LogError() << "Task ended with an unknown exception";
    }
}

}  // namespace rk::com
