// What the runtime's provided port asks of a provided event.
#pragma once

#include "tq/com/interface.h"

#include <cstdint>
#include <vector>

namespace rk::com::cpp_binding::skeleton {

class Provided_event_base : public tq::com::Interface {
public:
    // Called when a subscriber wants the current value.
    virtual void request_event_update() = 0;
    // The serializations the event is to be sent with (0 = SOME/IP).
    virtual void set_serialization_types(const std::vector<std::uint32_t>& types) = 0;
};

}  // namespace rk::com::cpp_binding::skeleton
