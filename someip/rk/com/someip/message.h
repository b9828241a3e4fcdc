// SOME/IP messages on the wire: the 16-byte header, splitting a datagram
// into its messages, the session counter, and the message types and return
// codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace rk::com::someip {

constexpr std::size_t header_size = 16;
// Length field value of a message without payload: client id to return code.
constexpr std::uint32_t minimal_length = 8;
constexpr std::uint8_t protocol_version = 0x01;
constexpr std::uint16_t event_flag = 0x8000;

namespace message_type {
constexpr std::uint8_t request = 0x00;
constexpr std::uint8_t request_no_return = 0x01;
constexpr std::uint8_t notification = 0x02;
constexpr std::uint8_t response = 0x80;
constexpr std::uint8_t error = 0x81;
constexpr std::uint8_t tp_flag = 0x20;
}  // namespace message_type

namespace wire_code {
constexpr std::uint8_t ok = 0x00;
constexpr std::uint8_t not_ok = 0x01;
constexpr std::uint8_t unknown_service = 0x02;
constexpr std::uint8_t unknown_method = 0x03;
constexpr std::uint8_t not_ready = 0x04;
constexpr std::uint8_t not_reachable = 0x05;
constexpr std::uint8_t timeout = 0x06;
constexpr std::uint8_t wrong_protocol_version = 0x07;
constexpr std::uint8_t wrong_interface_version = 0x08;
constexpr std::uint8_t malformed_message = 0x09;
constexpr std::uint8_t wrong_message_type = 0x0A;
// Application error n travels as first_application_error - 1 + n.
constexpr std::uint8_t first_application_error = 0x20;
constexpr std::uint8_t last_application_error = 0x5E;
}  // namespace wire_code

struct Header {
    std::uint16_t service_id{0};
    std::uint16_t method_id{0};
    std::uint32_t length{minimal_length};
    std::uint16_t client_id{0};
    std::uint16_t session_id{0};
    std::uint8_t protocol_version{someip::protocol_version};
    std::uint8_t interface_version{0};
    std::uint8_t message_type{0};
    std::uint8_t return_code{0};

    std::size_t payload_size() const noexcept { return length - minimal_length; }
};

// One message of a received datagram; the payload points into the datagram.
struct Message {
    Header header;
    std::size_t payload_offset{0};
};

// Appends the header, with the length set for payload_size bytes, and the
// payload to out.
void append_message(std::vector<std::uint8_t>& out, Header header, const std::uint8_t* payload,
                    std::size_t payload_size);

// Decodes a header from 16 bytes without judging it.
Header decode_header(const std::uint8_t* bytes) noexcept;

// The messages of a datagram, or nothing when the datagram is malformed: a
// header cut short, a length field below 8, or a length running past the end
// of the datagram. A datagram is taken whole or not at all.
std::optional<std::vector<Message>> split_datagram(const std::uint8_t* data, std::size_t size);

// Session ids of one client: 1…0xFFFF, then 1 again; 0 is never handed out.
class Session_counter {
public:
    explicit Session_counter(std::uint16_t first = 1) noexcept : next_(first == 0 ? 1 : first) {}
    std::uint16_t next() noexcept {
        const std::uint16_t current = next_;
        next_ = current == 0xFFFF ? 1 : static_cast<std::uint16_t>(current + 1);
        return current;
    }

private:
    std::uint16_t next_;
};

}  // namespace rk::com::someip
