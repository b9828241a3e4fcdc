// Common part of the proxy's methods: the required port they call through,
// and the clean-up that ties the runtime's pending call to the caller's future.
#pragma once

#include "rk/com/cpp_binding/proxy/rport.h"
#include "tq/com/future.h"
#include "tq/com/runtime/method_call.h"

#include <memory>
#include <utility>

namespace rk::com::cpp_binding::proxy {

class Method_impl_base {
public:
    using Pending_call = std::shared_ptr<tq::com::runtime::Method_call>;

    explicit Method_impl_base(Rport& port) noexcept : port_(port) {}
    virtual ~Method_impl_base() = default;
    Method_impl_base(const Method_impl_base&) = delete;
    Method_impl_base& operator=(const Method_impl_base&) = delete;

    Rport& port_link() const noexcept { return port_; }

    // The pending call lives exactly as long as the caller keeps the future
    // of the promise (or the last future of a chain of follow-ups built on
    // it): the promise's destroy handler is the only owner of it.
    template <typename R>
    static void add_cleanup(const std::shared_ptr<tq::com::Promise<R>>& promise,
                            Pending_call pending) {
        promise->set_future_dtor_handler([held = std::move(pending)]() mutable { held.reset(); });
    }

private:
    Rport& port_;
};

}  // namespace rk::com::cpp_binding::proxy
