#include "rk/com/runtime/someip/message.h"

#include "rk/com/runtime/transport.h"

namespace rk::com::runtime::someip {

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value >> 16));
    put16(out, static_cast<std::uint16_t>(value));
}

std::uint16_t get16(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint32_t get32(const std::uint8_t* bytes) noexcept {
    return (static_cast<std::uint32_t>(get16(bytes)) << 16) | get16(bytes + 2);
}

}  // namespace

void append_message(std::vector<std::uint8_t>& out, Header header, const std::uint8_t* payload,
                    std::size_t payload_size) {
    out.reserve(out.size() + header_size + payload_size);
    put16(out, header.service_id);
    put16(out, header.method_id);
    put32(out, static_cast<std::uint32_t>(minimal_length + payload_size));
    put16(out, header.client_id);
    put16(out, header.session_id);
    out.push_back(header.protocol_version);
    out.push_back(header.interface_version);
    out.push_back(header.message_type);
    out.push_back(header.return_code);
    if (payload_size > 0) out.insert(out.end(), payload, payload + payload_size);
}

Header decode_header(const std::uint8_t* bytes) noexcept {
    Header header;
    header.service_id = get16(bytes);
    header.method_id = get16(bytes + 2);
    header.length = get32(bytes + 4);
    header.client_id = get16(bytes + 8);
    header.session_id = get16(bytes + 10);
    header.protocol_version = bytes[12];
    header.interface_version = bytes[13];
    header.message_type = bytes[14];
    header.return_code = bytes[15];
    return header;
}

std::optional<std::vector<Message>> split_datagram(const std::uint8_t* data, std::size_t size) {
    std::vector<Message> messages;
    std::size_t offset = 0;
    if (size == 0) return std::nullopt;
    while (offset < size) {
        const std::size_t remaining = size - offset;
        if (remaining < header_size) return std::nullopt;
        const Header header = decode_header(data + offset);
        // The length counts from the client id on, which starts 8 bytes in.
        if (header.length < minimal_length || header.length > remaining - 8) return std::nullopt;
        messages.push_back(Message{header, offset + header_size});
        offset += 8 + static_cast<std::size_t>(header.length);
    }
    return messages;
}

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
