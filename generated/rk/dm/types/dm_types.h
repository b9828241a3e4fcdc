// Data types of the diagnostic manager's interfaces: each is one byte on the wire.
#pragma once

#include <cstdint>

namespace rk::dm::types {

// Why the diagnostic event manager (re)initialises a monitor; carried as its number.
enum class InitMonitorReasonType : std::uint8_t {};

// The verdict a monitor reports for its diagnostic event.
enum class MonitorActionType : std::uint8_t {
    kPassed = 0,
    kFailed = 1,
};

// A UDS negative response code; carried as its number.
enum class UDSResponseCodeType : std::uint8_t {};

}  // namespace rk::dm::types
