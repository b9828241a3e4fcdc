#include "rk/com/someip/sd_message.h"

#include "rk/com/byte_order.h"
#include "rk/com/someip/message.h"

namespace rk::com::someip::sd {

using byte_order::append_big_endian;
using byte_order::load_big_endian;

namespace {

Entry decode_entry(const std::uint8_t* p) noexcept {
    Entry entry;
    entry.type = p[0];
    entry.first_option = p[1];
    entry.second_option = p[2];
    entry.first_count = static_cast<std::uint8_t>(p[3] >> 4);
    entry.second_count = static_cast<std::uint8_t>(p[3] & 0x0F);
    entry.service_id = load_big_endian<std::uint16_t>(p + 4);
    entry.instance_id = load_big_endian<std::uint16_t>(p + 6);
    entry.major_version = p[8];
    entry.ttl = load_big_endian<std::uint32_t, 3>(p + 9);
    if (entry.is_service_entry()) {
        entry.minor_version = load_big_endian<std::uint32_t>(p + 12);
    } else {
        entry.initial_data = (p[13] & 0x80) != 0;
        entry.counter = static_cast<std::uint8_t>(p[13] & 0x0F);
        entry.reserved_bits_set = p[12] != 0 || (p[13] & 0x70) != 0;
        entry.eventgroup = load_big_endian<std::uint16_t>(p + 14);
    }
    return entry;
}

bool run_in_range(std::uint8_t first, std::uint8_t count, std::size_t options) noexcept {
    return count == 0 || static_cast<std::size_t>(first) + count <= options;
}

}  // namespace

std::vector<Endpoint> Message::endpoints_of(const Entry& entry) const {
    std::vector<Endpoint> result;
    auto take = [&](std::uint8_t first, std::uint8_t count) {
        for (std::size_t i = first; i < static_cast<std::size_t>(first) + count && i < options.size(); ++i) {
            if (options[i].endpoint) result.push_back(*options[i].endpoint);
        }
    };
    take(entry.first_option, entry.first_count);
    take(entry.second_option, entry.second_count);
    return result;
}

std::optional<Message> parse(const std::uint8_t* payload, std::size_t size) {
    // flags, reserved, entries length
    if (size < 8) return std::nullopt;
    Message message;
    message.flags = payload[0];
    const std::uint32_t entries_length = load_big_endian<std::uint32_t>(payload + 4);
    std::size_t at = 8;
    if (entries_length % entry_size != 0 || entries_length > size - at) return std::nullopt;
    const std::size_t entries_end = at + entries_length;
    for (; at < entries_end; at += entry_size) message.entries.push_back(decode_entry(payload + at));
    if (size - at < 4) return std::nullopt;
    const std::uint32_t options_length = load_big_endian<std::uint32_t>(payload + at);
    at += 4;
    if (options_length > size - at) return std::nullopt;
    const std::size_t options_end = at + options_length;
    while (at < options_end) {
        // length (counted from the reserved byte on), type, reserved
        if (options_end - at < 4) return std::nullopt;
        const std::uint16_t length = load_big_endian<std::uint16_t>(payload + at);
        if (length == 0 || options_end - at - 3 < length) return std::nullopt;
        Option option;
        option.type = payload[at + 2];
        if (option.type == option_type::ipv4_endpoint) {
            if (length != 9) return std::nullopt;
            const std::uint8_t* p = payload + at + 4;
            option.endpoint = Endpoint{load_big_endian<std::uint32_t>(p), p[5], load_big_endian<std::uint16_t>(p + 6)};
        }
        message.options.push_back(option);
        at += 3 + static_cast<std::size_t>(length);
    }
    if (at != size) return std::nullopt;
    for (const auto& entry : message.entries) {
        if (!run_in_range(entry.first_option, entry.first_count, message.options.size()) ||
            !run_in_range(entry.second_option, entry.second_count, message.options.size())) {
            return std::nullopt;
        }
    }
    return message;
}

std::uint8_t add_endpoint(Message& message, const Endpoint& endpoint) {
    message.options.push_back(Option{option_type::ipv4_endpoint, endpoint});
    return static_cast<std::uint8_t>(message.options.size() - 1);
}

std::vector<std::uint8_t> encode(const Message& message, std::uint16_t session_id) {
    std::vector<std::uint8_t> payload;
    payload.push_back(message.flags);
    payload.insert(payload.end(), 3, 0);
    append_big_endian(static_cast<std::uint32_t>(message.entries.size() * entry_size), payload);
    for (const auto& entry : message.entries) {
        payload.push_back(entry.type);
        payload.push_back(entry.first_option);
        payload.push_back(entry.second_option);
        payload.push_back(static_cast<std::uint8_t>((entry.first_count << 4) | (entry.second_count & 0x0F)));
        append_big_endian<std::uint16_t>(entry.service_id, payload);
        append_big_endian<std::uint16_t>(entry.instance_id, payload);
        payload.push_back(entry.major_version);
        append_big_endian<std::uint32_t, 3>(entry.ttl, payload);
        if (entry.is_service_entry()) {
            append_big_endian<std::uint32_t>(entry.minor_version, payload);
        } else {
            payload.push_back(0);
            payload.push_back(static_cast<std::uint8_t>((entry.initial_data ? 0x80 : 0) | (entry.counter & 0x0F)));
            append_big_endian<std::uint16_t>(entry.eventgroup, payload);
        }
    }
    std::vector<std::uint8_t> options;
    for (const auto& option : message.options) {
        if (!option.endpoint) continue;
        append_big_endian<std::uint16_t>(9, options);
        options.push_back(option_type::ipv4_endpoint);
        options.push_back(0);
        append_big_endian<std::uint32_t>(option.endpoint->address, options);
        options.push_back(0);
        options.push_back(option.endpoint->protocol);
        append_big_endian<std::uint16_t>(option.endpoint->port, options);
    }
    append_big_endian(static_cast<std::uint32_t>(options.size()), payload);
    payload.insert(payload.end(), options.begin(), options.end());

    Header header;
    header.service_id = service_id;
    header.method_id = method_id;
    header.client_id = 0;
    header.session_id = session_id;
    header.interface_version = 0x01;
    header.message_type = message_type::notification;
    std::vector<std::uint8_t> out;
    append_message(out, header, payload.data(), payload.size());
    return out;
}

}  // namespace rk::com::someip::sd
