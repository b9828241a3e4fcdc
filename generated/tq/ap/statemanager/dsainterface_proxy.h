// Proxy of the state manager's restart interface.
#pragma once

#include "ara/com/internal/proxy/method.h"
#include "ara/com/internal/proxy/proxy.h"
#include "tq/ap/statemanager/dsainterface_common.h"

namespace tq::ap::statemanager::proxy {

class DSAInterfaceProxy : public ara::com::internal::proxy::Proxy<DSAInterface> {
public:
    using HandleType = rk::com::cpp_binding::proxy::Proxy_impl<DSAInterface>::Handle_type;

    explicit DSAInterfaceProxy(const HandleType& handle)
        : ara::com::internal::proxy::Proxy<DSAInterface>(handle), RequestRestart(port_link()) {}

    // Sends the restart identifier; the future's result is the (empty) reply.
    ara::com::internal::proxy::Method<DSAInterface::RequestRestart, void(unsigned char)> RequestRestart;
};

}  // namespace tq::ap::statemanager::proxy
