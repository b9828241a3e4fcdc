#include "rk/com/runtime/someip/sd_types.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace rk::com::runtime::someip {

std::string to_text(const Address& address) {
    in_addr raw{};
    raw.s_addr = htonl(address.ip);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &raw, text, sizeof text);
    return std::string(text) + ":" + std::to_string(address.port);
}

Address parse_address(const std::string& ip, std::uint16_t port) {
    in_addr raw{};
    if (inet_pton(AF_INET, ip.c_str(), &raw) != 1)
        throw std::invalid_argument("not an IPv4 address: " + ip);
    return Address{ntohl(raw.s_addr), port};
}

}  // namespace rk::com::runtime::someip
