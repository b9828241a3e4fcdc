// The binding side of a proxy: the required port of one found instance of
// interface I, and the handle type that service discovery yields for I.
#pragma once

#include "rk/com/cpp_binding/defaults.h"
#include "rk/com/cpp_binding/log/incidents.h"
#include "rk/com/cpp_binding/proxy/rport.h"
#include "rk/com/log/trace.h"
#include "tq/com/runtime/service_handle.h"

#include <utility>

namespace rk::com::cpp_binding::proxy {

template <typename I>
class Proxy_impl : public Rport {
public:
    // One found instance of I.
    class Handle_type {
    public:
        explicit Handle_type(tq::com::runtime::Service_handle handle) : handle_(std::move(handle)) {}

        operator const tq::com::runtime::Service_handle&() const noexcept { return handle_; }
        const tq::com::runtime::Service_handle& service_handle() const noexcept { return handle_; }

        const tq::com::runtime::Service_id& get_service_id() const noexcept {
            return handle_.get_service_id();
        }
        const tq::com::runtime::Instance_id& get_instance_id() const noexcept {
            return handle_.get_instance_id();
        }

        friend bool operator==(const Handle_type& a, const Handle_type& b) {
            return a.handle_ == b.handle_;
        }

    private:
        tq::com::runtime::Service_handle handle_;
    };

    explicit Proxy_impl(const Handle_type& handle) : Rport(handle.service_handle(), I::description()) {
        rk::com::log::trace(logger(), log::incidents::Service_proxy_constructed{
                                          service_info(), defaults::compile_options()});
    }
};

}  // namespace rk::com::cpp_binding::proxy
