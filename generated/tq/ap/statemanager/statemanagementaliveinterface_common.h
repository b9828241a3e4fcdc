// Interface tq::ap::statemanager::StateManagementAliveInterface. Keeps the machine awake. Wardex neither provides nor calls
// it; only the error lookup of its methods is defined (none has an
// application error).
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

namespace tq::ap::statemanager {

class StateManagementAliveInterface {
public:
    struct ReleaseAlive {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };

    struct RequestAlive {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };
};

}  // namespace tq::ap::statemanager
