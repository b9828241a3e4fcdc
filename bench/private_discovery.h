// Loopback sockets, and service discovery on a port and multicast group of
// this run's own, so that the benchmark's transports run beside anything else.
#pragma once

#include "rk/com/runtime/someip/deployment.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace test_support {

// A UDP socket bound to a loopback port the system chose, given in *port.
inline int loopback_udp_socket(std::uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    if (port != nullptr) *port = ntohs(address.sin_port);
    return fd;
}

// A UDP port of loopback that was free a moment ago.
inline std::uint16_t free_udp_port() {
    std::uint16_t port = 0;
    ::close(loopback_udp_socket(&port));
    return port;
}

// The same port for every call in one process; the group is 239.<first>.<pid>.
inline rk::com::runtime::someip::Service_discovery_deployment private_discovery(int first_octet) {
    static const std::uint16_t port = free_udp_port();
    rk::com::runtime::someip::Service_discovery_deployment sd;
    sd.port = port;
    const auto pid = static_cast<unsigned>(::getpid());
    sd.multicast = "239." + std::to_string(first_octet) + "." + std::to_string((pid >> 8) & 0xFF) + "." +
                   std::to_string(pid & 0xFF);
    return sd;
}

}  // namespace test_support
