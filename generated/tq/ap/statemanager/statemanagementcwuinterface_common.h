// The state manager's car wake-up interface.
// Only the application-error lookup of each method is defined: none of
// them has application errors, so every code yields an empty pointer.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

namespace tq::ap::statemanager {

class StateManagementCWUInterface {
public:
    struct ReleaseCarWakeUp {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };
    struct RequestCarWakeUp {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };
};

}  // namespace tq::ap::statemanager
