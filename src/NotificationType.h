// The reactions a supervised application's configuration can name, and the
// conversions between their configuration keywords and their values.
#pragma once

#include <string>

namespace norda::phm::wardex {

// Values are fixed (the action lists hold them as 32-bit numbers); 8 and 9 are unused.
enum class NotificationType : int {
    kDLT = 0,
    kMesswert = 1,
    kTerminateApplication = 2,
    kRestartApplication = 3,
    kResetPlatform = 4,
    kDTC = 5,
    kRestartContainer = 6,
    kUpdateClient = 7,
    kUnknown = 10,
};

// Exact, case-sensitive keyword match; anything else gives kUnknown.
NotificationType getCallbackActionStringToEnum(std::string keyword);

// The keyword of a value; "Unknown" for every value without one.
std::string getStringFromCallbackActionEnum(NotificationType action);

}  // namespace norda::phm::wardex
