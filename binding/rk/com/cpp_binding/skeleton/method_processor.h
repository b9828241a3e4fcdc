// Executes the handling of incoming method calls as tasks. The runtime's
// method dispatcher owns one and is the only caller of `post` and `wait`.
#pragma once

#include "rk/com/cpp_binding/method_call_processing_mode.h"
#include "tq/com/interface.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace rk::com {
class static_thread_pool;
}

namespace rk::com::cpp_binding::skeleton {

class Method_processor : private tq::com::Interface {
public:
    ~Method_processor() override = default;
    virtual std::uint8_t processing_mode() const = 0;
    // Returns once every task posted before the call has finished (at once
    // when called from one of those tasks); new tasks are accepted meanwhile
    // and afterwards. Safe to call more than once and from several threads.
    virtual void wait() = 0;
    virtual void post(std::function<void()>&& task) = 0;
};

// kEvent → parallel, kEventSingleThread → sequential, anything else → no-op.
std::unique_ptr<Method_processor> create_method_processor(Method_call_processing_mode mode,
                                                          static_thread_pool& pool);

}  // namespace rk::com::cpp_binding::skeleton
