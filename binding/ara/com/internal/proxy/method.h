// Front class of one method of a required service, as generated proxies hold
// it: calling it sends the request and returns the future of the reply.
#pragma once

#include "rk/com/cpp_binding/proxy/method_impl.h"

#include <memory>
#include <type_traits>

namespace ara::com::internal::proxy {

template <typename M, typename Signature>
class Method;

template <typename M, typename R, typename... Args>
class Method<M, R(Args...)> {
public:
    using Impl = rk::com::cpp_binding::proxy::Method_impl<M, false, R(Args...)>;

    explicit Method(rk::com::cpp_binding::proxy::Rport& port) : impl_(std::make_unique<Impl>(port)) {}
    virtual ~Method() = default;
    Method(const Method&) = delete;
    Method& operator=(const Method&) = delete;

    tq::com::Future<R> operator()(const std::decay_t<Args>&... args) { return impl_->call(args...); }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ara::com::internal::proxy
