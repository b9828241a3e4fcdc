// The translation between the runtime's 8-bit binding codes and the return
// codes of SOME/IP replies on the wire.
#pragma once

#include <cstdint>

namespace rk::com::runtime::someip {

// The reply a provider's binding code becomes on the wire.
struct Wire_reply {
    std::uint8_t message_type;
    std::uint8_t return_code;
    bool with_payload;
};
Wire_reply to_wire_reply(std::uint8_t binding_code) noexcept;

// The binding code a caller sees for a RESPONSE or ERROR with this return code.
std::uint8_t to_binding_code(std::uint8_t message_type, std::uint8_t wire_return_code) noexcept;

}  // namespace rk::com::runtime::someip
