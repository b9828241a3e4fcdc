// The runtime's handle of one outgoing method call. Releasing it before the
// reply arrives does not cancel the call: the reply is still delivered to the
// call's response handler.
#pragma once

#include "tq/com/runtime/identifiers.h"

#include <cstdint>
#include <utility>

namespace tq::com::runtime {

class Method_call {
public:
    Method_call(Service_id service_id, Instance_id instance_id, std::uint16_t method_id,
                std::uint16_t method_call_id)
        : service_id_(std::move(service_id)),
          instance_id_(std::move(instance_id)),
          method_id_(method_id),
          method_call_id_(method_call_id) {}

    const Service_id& service_id() const noexcept { return service_id_; }
    const Instance_id& instance_id() const noexcept { return instance_id_; }
    std::uint16_t method_id() const noexcept { return method_id_; }
    std::uint16_t method_call_id() const noexcept { return method_call_id_; }

private:
    Service_id service_id_;
    Instance_id instance_id_;
    std::uint16_t method_id_;
    std::uint16_t method_call_id_;
};

}  // namespace tq::com::runtime
