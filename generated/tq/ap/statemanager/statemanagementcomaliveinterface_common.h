// The state manager's communication-alive interface.
// Only the application-error lookup of each method is defined: none of
// them has application errors, so every code yields an empty pointer.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

namespace tq::ap::statemanager {

class StateManagementComAliveInterface {
public:
    struct ReleaseComAlive {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };
    struct RequestComAlive {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };
};

}  // namespace tq::ap::statemanager
