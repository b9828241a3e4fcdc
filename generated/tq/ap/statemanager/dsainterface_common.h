// The state manager's restart interface, which Wardex requires: its service
// identifier, its shape, and its one method RequestRestart (id 0, one 8-bit
// restart identifier, empty reply, no application errors).
#pragma once

#include "rk/com/connector/service_interface_description.h"
#include "tq/com/runtime/identifiers.h"

#include <cstdint>
#include <exception>
#include <vector>

namespace tq::ap::statemanager {

class DSAInterface {
public:
    static constexpr tq::com::runtime::Service_id_literal id() noexcept {
        return tq::com::runtime::Service_id_literal("tq::ap::statemanager::DSAInterface");
    }

    // No events, one method.
    static constexpr rk::com::connector::Service_interface_description description() noexcept {
        return rk::com::connector::Service_interface_description{0, 1};
    }

    struct RequestRestart {
        static constexpr std::uint16_t method_id = 0;

        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };
};

}  // namespace tq::ap::statemanager
