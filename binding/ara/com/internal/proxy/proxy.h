// Front class of a proxy of interface I: finds instances of the service and
// owns the binding of one of them. Generated proxies derive from it and build
// their methods on port_link().
#pragma once

#include "ara/com/log/incidents.h"
#include "ara/com/logger.h"
#include "rk/com/cpp_binding/proxy/proxy_impl.h"
#include "rk/com/log/trace.h"
#include "rk/com/runtime/component_singleton.h"

#include <memory>
#include <vector>

namespace ara::com::internal::proxy {

template <typename I>
class Proxy {
public:
    using Impl = rk::com::cpp_binding::proxy::Proxy_impl<I>;
    using HandleType = typename Impl::Handle_type;

    // The instances currently known, in the finder's order; empty when none
    // is. Throws std::logic_error when no runtime component lives.
    static std::vector<HandleType> FindService(tq::com::runtime::Instance_id instance) {
        auto finder = rk::com::runtime::Component_singleton::get_service_finder();
        const auto handles = finder->find_service(tq::com::runtime::Service_id(I::id()), instance);
        rk::com::log::trace(ara::com::logger(),
                            ara::com::log::incidents::Find_service{I::id(), instance}, handles);
        std::vector<HandleType> found;
        found.reserve(handles.size());
        for (const auto& handle : handles) found.emplace_back(handle);
        return found;
    }

    explicit Proxy(const HandleType& handle) : impl_(std::make_unique<Impl>(handle)) {}
    virtual ~Proxy() = default;
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    rk::com::cpp_binding::proxy::Rport& port_link() const noexcept { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ara::com::internal::proxy
