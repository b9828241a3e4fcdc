// The diagnostic event manager's event interface.
// Only the application-error lookup of each method is defined: none of them
// has application errors, so every code yields an empty pointer.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

namespace rk::dm::dem {

namespace diagnosticevent_detail {

struct No_application_errors {
    static std::exception_ptr GetApplicationErrorExceptionPtr(std::uint8_t /*errorCode*/,
                                                              const std::vector<std::uint8_t>& /*payload*/) {
        return nullptr;
    }
};

}  // namespace diagnosticevent_detail

class DiagnosticEvent {
public:
    struct FaultDetectionCounter : diagnosticevent_detail::No_application_errors {};
    struct GetDTCOfEvent : diagnosticevent_detail::No_application_errors {};
    struct GetDebouncingOfEvent : diagnosticevent_detail::No_application_errors {};
    struct EventStatus {
        struct Get : diagnosticevent_detail::No_application_errors {};
    };
};

}  // namespace rk::dm::dem
