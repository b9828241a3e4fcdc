#include "rk/com/cpp_binding/skeleton/method_processors.h"

#include "rk/com/cpp_binding/logger.h"

#include <algorithm>
#include <utility>

namespace rk::com::cpp_binding::skeleton {

std::unique_ptr<Method_processor> create_method_processor(Method_call_processing_mode mode,
                                                          static_thread_pool& pool, const Service_info& service) {
    switch (static_cast<std::uint8_t>(mode)) {
        case 1: return std::make_unique<detail::Parallel_method_processor>(pool);
        case 2: return std::make_unique<detail::Sequential_method_processor>(pool);
        default: return std::make_unique<detail::Noop_method_processor>(pool, service);
    }
}

namespace detail {

void Noop_method_processor::post(std::function<void()>&& task) {
    task = nullptr;
    if (warned_.exchange(true)) return;
    const auto& logger = port_logger();
    if (!logger.is_enabled(ara::log::LogLevel::kWarn)) return;
    logger.write("Method call processing mode 0 drops every request of " + service_.service_id().to_string() +
                     " " + service_.instance_id().to_string() + ": no handler runs and no reply is sent",
                 ara::log::LogLevel::kWarn);
}

Parallel_method_processor::Parallel_method_processor(static_thread_pool& pool)
    : pool_(pool), view_(std::make_shared<Thread_pool_view>(pool)) {}

Parallel_method_processor::~Parallel_method_processor() {
    std::vector<std::shared_ptr<Thread_pool_view>> views;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        views = std::move(retired_);
        if (view_) views.push_back(std::move(view_));
    }
    for (const auto& view : views) view->wait();
}

void Parallel_method_processor::post(std::function<void()>&& task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (view_) view_->post(std::move(task));
}

void Parallel_method_processor::wait() {
    auto fresh = std::make_shared<Thread_pool_view>(pool_);
    std::vector<std::shared_ptr<Thread_pool_view>> views;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retired_.erase(std::remove_if(retired_.begin(), retired_.end(),
                                      [](const auto& view) {
                                          return view->state() == Thread_pool_view::stopped &&
                                                 view->outstanding() == 0;
                                      }),
                       retired_.end());
        retired_.push_back(std::exchange(view_, std::move(fresh)));
        // From inside a request nothing is waited for: that request would
        // wait for itself, or for requests that may be waiting for it.
        const bool inside = std::any_of(retired_.begin(), retired_.end(),
                                        [](const auto& view) { return view->running_in_this_thread(); });
        if (!inside) views = retired_;
    }
    for (const auto& view : views) view->wait();
}

Sequential_method_processor::Sequential_method_processor(static_thread_pool& pool)
    : pool_(pool), strand_(std::make_shared<Strand>(pool)) {}

Sequential_method_processor::~Sequential_method_processor() {
    std::shared_ptr<Strand> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = std::move(strand_);
    }
    if (last) last->wait();
}

void Sequential_method_processor::post(std::function<void()>&& task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (strand_) strand_->post(std::move(task));
}

void Sequential_method_processor::wait() {
    auto fresh = std::make_shared<Strand>(pool_);
    std::shared_ptr<Strand> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = std::exchange(strand_, std::move(fresh));
    }
    old->wait();
}

}  // namespace detail
}  // namespace rk::com::cpp_binding::skeleton
