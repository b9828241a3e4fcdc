// Interface rk::dm::dem::DiagnosticEvent. Wardex neither provides nor calls
// it; only the error lookup of its methods is defined (none has an
// application error).
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

namespace rk::dm::dem {

class DiagnosticEvent {
public:
    struct FaultDetectionCounter {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };

    struct GetDTCOfEvent {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };

    struct GetDebouncingOfEvent {
        static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                  const std::vector<std::uint8_t>& /*payload*/) {
            return nullptr;
        }
    };

    struct EventStatus {
        struct Get {
            static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                                      const std::vector<std::uint8_t>& /*payload*/) {
                return nullptr;
            }
        };
    };
};

}  // namespace rk::dm::dem
