// Client of the state manager's restart service: waits until the service is
// found, keeps a proxy to it and forwards restart requests.
#pragma once

#include "tq/ap/statemanager/dsainterface_proxy.h"
#include "tq/com/runtime/identifiers.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace norda::phm::wardex {

class DSAInterfaceImpl {
public:
    // Pauses between two searches for the service.
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    // Returns only once the instance has been found and a proxy built; each
    // empty search costs a 500 ms pause.
    explicit DSAInterfaceImpl(const tq::com::runtime::Instance_id& instance);
    DSAInterfaceImpl(const tq::com::runtime::Instance_id& instance, const Sleeper& sleep);

    // True when the request was handed to the proxy; the state manager's
    // reply is not waited for.
    bool RequestRestart(std::uint8_t id);

private:
    std::unique_ptr<tq::ap::statemanager::proxy::DSAInterfaceProxy> proxy_;
};

}  // namespace norda::phm::wardex
