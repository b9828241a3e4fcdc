// Service discovery messages on the wire: the entries (find, offer,
// subscribe and their answers) and the IPv4 endpoint options of the payload
// that follows the SOME/IP header of service 0xFFFF, method 0x8100.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace rk::com::someip::sd {

constexpr std::uint16_t service_id = 0xFFFF;
constexpr std::uint16_t method_id = 0x8100;
constexpr std::uint8_t flag_reboot = 0x80;
constexpr std::uint8_t flag_unicast = 0x40;
constexpr std::uint32_t ttl_forever = 0xFFFFFF;
constexpr std::size_t entry_size = 16;

namespace entry_type {
constexpr std::uint8_t find_service = 0x00;
constexpr std::uint8_t offer_service = 0x01;
constexpr std::uint8_t subscribe_eventgroup = 0x06;
constexpr std::uint8_t subscribe_eventgroup_ack = 0x07;
}  // namespace entry_type

namespace option_type {
constexpr std::uint8_t ipv4_endpoint = 0x04;
}  // namespace option_type

constexpr std::uint8_t protocol_udp = 0x11;

struct Endpoint {
    // In host byte order.
    std::uint32_t address{0};
    std::uint8_t protocol{protocol_udp};
    std::uint16_t port{0};

    friend bool operator==(const Endpoint& a, const Endpoint& b) {
        return a.address == b.address && a.protocol == b.protocol && a.port == b.port;
    }
};

// An option as received; endpoint is set for an IPv4 endpoint option only.
struct Option {
    std::uint8_t type{0};
    std::optional<Endpoint> endpoint;
};

struct Entry {
    std::uint8_t type{0};
    std::uint8_t first_option{0};
    std::uint8_t second_option{0};
    std::uint8_t first_count{0};
    std::uint8_t second_count{0};
    std::uint16_t service_id{0};
    std::uint16_t instance_id{0};
    std::uint8_t major_version{0};
    std::uint32_t ttl{0};
    // Service entries.
    std::uint32_t minor_version{0};
    // Eventgroup entries.
    bool initial_data{false};
    std::uint8_t counter{0};
    // Bits that must be 0 are not (the byte before the counter's, and the
    // three between the initial data flag and the counter).
    bool reserved_bits_set{false};
    std::uint16_t eventgroup{0};

    bool is_service_entry() const noexcept { return type < 0x04; }
};

struct Message {
    std::uint8_t flags{flag_unicast};
    std::vector<Entry> entries;
    std::vector<Option> options;

    // The IPv4 endpoints the entry's two option runs refer to.
    std::vector<Endpoint> endpoints_of(const Entry& entry) const;
};

// The payload of an SD message (everything after the 16-byte header), or
// nothing when it does not add up: an array length past the end, an entry
// array not made of whole entries, an option running past its array, an
// entry referring to an option that is not there. A message is taken whole
// or not at all.
std::optional<Message> parse(const std::uint8_t* payload, std::size_t size);

// The whole SOME/IP message: header (client 0, the given session id) and payload.
std::vector<std::uint8_t> encode(const Message& message, std::uint16_t session_id);

// Appends an IPv4 endpoint option and returns its index.
std::uint8_t add_endpoint(Message& message, const Endpoint& endpoint);

// Session ids of one SD sender towards one receiver: counted from 1, with
// the reboot flag until the counter first wraps.
class Session {
public:
    struct Next {
        std::uint16_t id;
        bool reboot;
    };
    Next next() noexcept {
        const Next result{next_, !wrapped_};
        if (next_ == 0xFFFF) {
            next_ = 1;
            wrapped_ = true;
        } else {
            ++next_;
        }
        return result;
    }

private:
    std::uint16_t next_{1};
    bool wrapped_{false};
};

}  // namespace rk::com::someip::sd
