// Addresses and instance keys as service discovery and the sockets see them.
#pragma once

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

}  // namespace rk::com::runtime::someip
