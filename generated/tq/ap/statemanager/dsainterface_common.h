// Interface tq::ap::statemanager::DSAInterface: the state manager's restart
// request, which Wardex requires.
#pragma once

#include "rk/com/connector/service_interface_description.h"
#include "tq/com/runtime/identifiers.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace tq::ap::statemanager {

class DSAInterface {
public:
    static constexpr tq::com::runtime::Service_id_literal id() {
        return tq::com::runtime::Service_id_literal("tq::ap::statemanager::DSAInterface");
    }
    // No event, one method.
    static constexpr rk::com::connector::Service_interface_description description() { return {0, 1}; }

    struct RequestRestart {
        static constexpr std::uint16_t id = 0;
        // The argument is the restart identifier.
        using Signature = void(std::uint8_t);
        static constexpr std::size_t expected_output_size = 0;
        // The method defines no application error: always empty.
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };
};

}  // namespace tq::ap::statemanager
