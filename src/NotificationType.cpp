#include "NotificationType.h"

#include <array>
#include <utility>

namespace norda::phm::wardex {

NotificationType getCallbackActionStringToEnum(std::string keyword) {
    static const std::array<std::pair<const char*, NotificationType>, 8> keywords{{
        {"DLT", NotificationType::kDLT},
        {"RestartApplication", NotificationType::kRestartApplication},
        {"TerminateApplication", NotificationType::kTerminateApplication},
        {"ResetPlatform", NotificationType::kResetPlatform},
        {"DTC", NotificationType::kDTC},
        {"Messwert", NotificationType::kMesswert},
        {"RestartContainer", NotificationType::kRestartContainer},
        {"UpdateClient", NotificationType::kUpdateClient},
    }};
    for (const auto& entry : keywords) {
        if (keyword == entry.first) return entry.second;
    }
    return NotificationType::kUnknown;
}

std::string getStringFromCallbackActionEnum(NotificationType action) {
    switch (action) {
        case NotificationType::kDLT: return "DLT";
        case NotificationType::kMesswert: return "Messwert";
        case NotificationType::kTerminateApplication: return "TerminateApplication";
        case NotificationType::kRestartApplication: return "RestartApplication";
        case NotificationType::kResetPlatform: return "ResetPlatform";
        case NotificationType::kDTC: return "DTC";
        case NotificationType::kRestartContainer: return "RestartContainer";
        case NotificationType::kUpdateClient: return "UpdateClient";
        case NotificationType::kUnknown: break;
    }
    return "Unknown";
}

}  // namespace norda::phm::wardex
