// Interface tq::ap::statemanager::StateManagementCWUInterface. Car wake-up requests. Wardex neither provides nor calls
// it; only the error lookup of its methods is defined (none has an
// application error).
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
