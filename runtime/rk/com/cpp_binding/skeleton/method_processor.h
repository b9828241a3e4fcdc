// Executes the handling of incoming method calls as tasks. The runtime's
// method dispatcher owns one and is the only caller of `post` and `wait`.
#pragma once

#include "tq/com/interface.h"

#include <cstdint>
#include <functional>

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

}  // namespace rk::com::cpp_binding::skeleton
