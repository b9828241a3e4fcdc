#include "rk/com/cpp_binding/skeleton/method_impl_base.h"

#include "rk/com/cpp_binding/skeleton/method_dispatcher.h"

namespace rk::com::cpp_binding::skeleton {

Method_impl_base::Method_impl_base(std::uint16_t method_id, Callback callback,
                                   Method_dispatcher& dispatcher, std::size_t max_request_size)
    : method_id_(method_id),
      callback_(std::move(callback)),
      dispatcher_(dispatcher),
      max_request_size_(max_request_size) {
    dispatcher_.register_method(*this);
}

Method_impl_base::~Method_impl_base() { dispatcher_.unregister_method(method_id_); }

void Method_impl_base::reply_method(const Reply_function& reply,
                                    tq::com::runtime::Serialized_payload payload,
                                    std::uint8_t return_code) {
    if (reply) reply(return_code, std::move(payload));
}

}  // namespace rk::com::cpp_binding::skeleton
