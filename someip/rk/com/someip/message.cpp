#include "rk/com/someip/message.h"

#include "rk/com/byte_order.h"

namespace rk::com::someip {

using byte_order::append_big_endian;
using byte_order::load_big_endian;

void append_message(std::vector<std::uint8_t>& out, Header header, const std::uint8_t* payload,
                    std::size_t payload_size) {
    out.reserve(out.size() + header_size + payload_size);
    append_big_endian(header.service_id, out);
    append_big_endian(header.method_id, out);
    append_big_endian(static_cast<std::uint32_t>(minimal_length + payload_size), out);
    append_big_endian(header.client_id, out);
    append_big_endian(header.session_id, out);
    out.push_back(header.protocol_version);
    out.push_back(header.interface_version);
    out.push_back(header.message_type);
    out.push_back(header.return_code);
    if (payload_size > 0) out.insert(out.end(), payload, payload + payload_size);
}

Header decode_header(const std::uint8_t* bytes) noexcept {
    Header header;
    header.service_id = load_big_endian<std::uint16_t>(bytes);
    header.method_id = load_big_endian<std::uint16_t>(bytes + 2);
    header.length = load_big_endian<std::uint32_t>(bytes + 4);
    header.client_id = load_big_endian<std::uint16_t>(bytes + 8);
    header.session_id = load_big_endian<std::uint16_t>(bytes + 10);
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

}  // namespace rk::com::someip
