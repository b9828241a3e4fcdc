// Addresses and instance keys as service discovery and the sockets see them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>

namespace rk::com::runtime::someip {

// An IPv4 address and UDP port, both in host byte order.
struct Address {
    std::uint32_t ip{0};
    std::uint16_t port{0};

    friend bool operator==(const Address& a, const Address& b) { return a.ip == b.ip && a.port == b.port; }
    friend bool operator!=(const Address& a, const Address& b) { return !(a == b); }
    friend bool operator<(const Address& a, const Address& b) {
        return std::tie(a.ip, a.port) < std::tie(b.ip, b.port);
    }
};

struct Address_hash {
    std::size_t operator()(const Address& a) const noexcept { return (std::size_t{a.ip} << 16) ^ a.port; }
};

// "a.b.c.d:port"
std::string to_text(const Address& address);
// Throws std::invalid_argument for a text that is no IPv4 address.
Address parse_address(const std::string& ip, std::uint16_t port);

// A service instance by its ids on the wire.
struct Instance_key {
    std::uint16_t service{0};
    std::uint16_t instance{0};

    friend bool operator==(const Instance_key& a, const Instance_key& b) {
        return a.service == b.service && a.instance == b.instance;
    }
    friend bool operator<(const Instance_key& a, const Instance_key& b) {
        return std::tie(a.service, a.instance) < std::tie(b.service, b.instance);
    }
};

// How discovery offers and subscribes, and the bounds on what other
// processes may ask of this one: read from the deployment, used as they are
// by the discovery state machine.
struct Discovery_timing {
    std::chrono::milliseconds initial_delay_min{10};
    std::chrono::milliseconds initial_delay_max{100};
    std::chrono::milliseconds repetition_base_delay{30};
    std::uint32_t repetitions_max{3};
    std::chrono::milliseconds cyclic_offer_delay{1000};
    // Seconds; 0xFFFFFF means until the next reboot.
    std::uint32_t offer_ttl{3};
    std::uint32_t subscription_ttl{3};
    // The longest subscription another process gets (seconds; never
    // permanent), subscribers per eventgroup, and peers whose session state
    // is kept.
    std::uint32_t max_subscription_ttl{300};
    std::uint32_t max_subscribers_per_eventgroup{64};
    // Endpoints of one address among an eventgroup's subscribers.
    std::uint32_t max_subscribers_per_address{4};
    std::uint32_t max_peers{256};
    // A peer with nothing live is forgotten after this long a silence.
    std::chrono::seconds peer_timeout{600};
    // Whether a subscription may name an endpoint on another address than
    // its sender's (a gateway subscribing for others).
    bool subscribers_on_other_addresses{false};
    // Whether an offer may name an endpoint on another address than its
    // sender's (a gateway offering for others).
    bool offers_on_other_addresses{false};
};

}  // namespace rk::com::runtime::someip
