// A provided method as the runtime sees it: registered with the dispatcher
// under its id for its lifetime, called with the method call id, the reply
// function (empty when no reply is expected) and the request.
#pragma once

#include "rk/com/runtime/transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace rk::com::cpp_binding::skeleton {

class Method_dispatcher;

using Reply_function = runtime::Reply_function;

class Method_impl_base {
public:
    using Callback = std::function<void(std::uint16_t method_call_id, Reply_function reply,
                                        const tq::com::runtime::Serialized_payload& request)>;

    // A request longer than max_request_size bytes cannot be decoded and is
    // refused before it is queued.
    Method_impl_base(std::uint16_t method_id, Callback callback, Method_dispatcher& dispatcher,
                     std::size_t max_request_size = static_cast<std::size_t>(-1));
    // Unregisters, waiting until no call of this method runs (unless called
    // from inside one).
    virtual ~Method_impl_base();
    Method_impl_base(const Method_impl_base&) = delete;
    Method_impl_base& operator=(const Method_impl_base&) = delete;

    std::uint16_t method_id() const noexcept { return method_id_; }
    Method_dispatcher& method_dispatcher() const noexcept { return dispatcher_; }
    const Callback& callback() const noexcept { return callback_; }
    std::size_t max_request_size() const noexcept { return max_request_size_; }

    // Sends one reply; nothing when the reply function is empty.
    static void reply_method(const Reply_function& reply, tq::com::runtime::Serialized_payload payload,
                             std::uint8_t return_code);

private:
    std::uint16_t method_id_;
    Callback callback_;
    Method_dispatcher& dispatcher_;
    std::size_t max_request_size_;
};

}  // namespace rk::com::cpp_binding::skeleton
