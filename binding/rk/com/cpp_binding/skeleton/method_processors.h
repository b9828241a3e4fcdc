// The three method processors: parallel on a thread-pool view, sequential on
// a strand, and one that drops every request.
//
// A processor guards its current context with its own mutex: `post` hands a
// task over under it, `wait` swaps in a fresh context under it and waits for
// the old one after releasing it, so two waits never wait on, or destroy, one
// context twice and a task posted during a wait goes to the new context.
#pragma once

#include "rk/com/cpp_binding/method_call_processing_mode.h"
#include "rk/com/cpp_binding/service_info.h"
#include "rk/com/cpp_binding/skeleton/method_processor.h"
#include "rk/com/static_thread_pool.h"
#include "rk/com/strand.h"
#include "rk/com/thread_pool_view.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace rk::com::cpp_binding::skeleton {

// kEvent → parallel, kEventSingleThread → sequential, anything else → no-op.
// The service is named in the no-op processor's warning.
std::unique_ptr<Method_processor> create_method_processor(Method_call_processing_mode mode,
                                                          static_thread_pool& pool,
                                                          const Service_info& service = Service_info());

}  // namespace rk::com::cpp_binding::skeleton

namespace rk::com::cpp_binding::skeleton::detail {

// Runs nothing. The first request it drops is logged as a warning (port
// context), so that a service offered in this mode by mistake is noticed
// although its callers only see time-outs.
class Noop_method_processor final : public Method_processor {
public:
    explicit Noop_method_processor(static_thread_pool& /*pool*/, Service_info service = Service_info())
        : service_(std::move(service)) {}
    std::uint8_t processing_mode() const override { return 0; }
    void wait() override {}
    void post(std::function<void()>&& task) override;

private:
    const Service_info service_;
    std::atomic<bool> warned_{false};
};

class Parallel_method_processor final : public Method_processor {
public:
    explicit Parallel_method_processor(static_thread_pool& pool);
    ~Parallel_method_processor() override;
    std::uint8_t processing_mode() const override { return 1; }
    void wait() override;
    void post(std::function<void()>&& task) override;

private:
    static_thread_pool& pool_;
    std::mutex mutex_;
    std::shared_ptr<Thread_pool_view> view_;
    // Views swapped out by a wait whose requests may still run: a wait from
    // inside a request returns at once, so a later wait must still wait for
    // the other requests of the view that request retired.
    std::vector<std::shared_ptr<Thread_pool_view>> retired_;
};

class Sequential_method_processor final : public Method_processor {
public:
    explicit Sequential_method_processor(static_thread_pool& pool);
    ~Sequential_method_processor() override;
    std::uint8_t processing_mode() const override { return 2; }
    void wait() override;
    void post(std::function<void()>&& task) override;

private:
    static_thread_pool& pool_;
    std::mutex mutex_;
    std::shared_ptr<Strand> strand_;
};

}  // namespace rk::com::cpp_binding::skeleton::detail
