// Front class of one provided method M of a generated skeleton: registers
// the handler with the skeleton's method dispatcher under the method's id.
#pragma once

#include "rk/com/cpp_binding/skeleton/method_impl.h"

#include <memory>
#include <utility>

namespace ara::com::internal::skeleton {

template <typename M>
class Method {
public:
    using Impl = rk::com::cpp_binding::skeleton::Method_impl<M>;
    using Handler = typename Impl::Handler;

    Method(rk::com::cpp_binding::skeleton::Method_dispatcher& dispatcher, Handler handler)
        : impl_(std::make_unique<Impl>(dispatcher, std::move(handler))) {}

    virtual ~Method() = default;

    Method(const Method&) = delete;
    Method& operator=(const Method&) = delete;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ara::com::internal::skeleton
