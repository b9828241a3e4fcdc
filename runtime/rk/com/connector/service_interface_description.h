// Shape of a service interface as the runtime needs it: how many events and
// how many methods it has.
#pragma once

#include <cstdint>

namespace rk::com::connector {

struct Service_interface_description {
    std::uint16_t number_of_events{0};
    std::uint16_t number_of_methods{0};
};

}  // namespace rk::com::connector
