// Interface rk::dm::dem::DiagnosticMonitor: the diagnostic event manager
// initialises the monitor with InitMonitor and receives its verdicts as
// MonitorAction events.
#pragma once

#include "rk/com/connector/service_interface_description.h"
#include "rk/dm/types/dm_types.h"
#include "tq/com/runtime/identifiers.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace rk::dm::dem {

class DiagnosticMonitor {
public:
    static constexpr tq::com::runtime::Service_id_literal id() {
        return tq::com::runtime::Service_id_literal("rk::dm::dem::DiagnosticMonitor");
    }
    // One event, one method.
    static constexpr rk::com::connector::Service_interface_description description() { return {1, 1}; }

    struct InitMonitor {
        static constexpr std::uint16_t id = 0;
        using Signature = void(rk::dm::types::InitMonitorReasonType);
        static constexpr std::size_t expected_output_size = 0;
        // The method defines no application error: always empty.
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };

    struct MonitorAction {
        static constexpr std::uint16_t id = 0;
        using Data = rk::dm::types::MonitorActionType;
        static constexpr std::size_t expected_size = 1;
    };
};

}  // namespace rk::dm::dem
