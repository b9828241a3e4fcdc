#include "rk/com/runtime/someip/return_codes.h"

#include "rk/com/runtime/transport.h"
#include "rk/com/someip/message.h"

namespace rk::com::runtime::someip {

namespace message_type = rk::com::someip::message_type;
namespace wire_code = rk::com::someip::wire_code;

Wire_reply to_wire_reply(std::uint8_t binding_code) noexcept {
    using namespace message_type;
    if (binding_code == return_code::ok) return {response, wire_code::ok, true};
    if (binding_code < 0x40) {
        return {error, static_cast<std::uint8_t>(wire_code::first_application_error - 1 + binding_code), true};
    }
    switch (binding_code) {
    case return_code::rejected:
        return {error, wire_code::unknown_method, false};
    case return_code::not_available:
        return {error, wire_code::unknown_service, false};
    case return_code::malformed_request:
        return {error, wire_code::malformed_message, false};
    default:
        return {error, wire_code::not_ok, false};
    }
}

std::uint8_t to_binding_code(std::uint8_t type, std::uint8_t code) noexcept {
    if (type == message_type::response && code == wire_code::ok) return return_code::ok;
    if (code >= wire_code::first_application_error && code <= wire_code::last_application_error) {
        return static_cast<std::uint8_t>(code - (wire_code::first_application_error - 1));
    }
    switch (code) {
    case wire_code::not_ok:
        return return_code::request_failed;
    case wire_code::unknown_service:
    case wire_code::not_ready:
    case wire_code::not_reachable:
        return return_code::not_available;
    case wire_code::timeout:
        return return_code::timeout;
    default:
        // Unknown method, wrong versions or message type, a malformed
        // message, an ERROR claiming success, and codes outside the defined
        // ranges: the peer did not take the request.
        return return_code::rejected;
    }
}

}  // namespace rk::com::runtime::someip
