// Interface tq::ap::statemanager::StateManagementComAliveInterface. Keeps communication awake. Wardex neither provides nor calls
// it; only the error lookup of its methods is defined (none has an
// application error).
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
