#include "rk/com/runtime/someip/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace rk::com::runtime::someip {

namespace {

sockaddr_in to_sockaddr(Address address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address.ip);
    result.sin_port = htons(address.port);
    return result;
}

Address bound_address(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return Address{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

wardex::base::Fd udp_socket() {
    wardex::base::Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) fail("UDP socket");
    return fd;
}

}  // namespace

Udp_socket Udp_socket::bind(Address local, bool share_port) {
    auto owned = udp_socket();
    const int fd = owned.get();
    const int one = 1;
    if (share_port && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        fail("SO_REUSEADDR");
    const auto address = to_sockaddr(local);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail("UDP socket on " + to_text(local) + " cannot be bound");
    }
    return Udp_socket(std::move(owned), bound_address(fd));
}

Udp_socket Udp_socket::join_group(Address group, Address interface) {
    auto owned = udp_socket();
    const int fd = owned.get();
    const int one = 1;
    const auto address = to_sockaddr(group);
    ip_mreq membership{};
    membership.imr_multiaddr = address.sin_addr;
    membership.imr_interface.s_addr = htonl(interface.ip);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        fail("multicast group " + to_text(group) + " cannot be joined");
    }
    return Udp_socket(std::move(owned), group);
}

void Udp_socket::send_multicast_from(Address interface) const {
    in_addr address{};
    address.s_addr = htonl(interface.ip);
    const unsigned char loop = 1;
    ::setsockopt(fd_.get(), IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address);
    ::setsockopt(fd_.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
}

bool Udp_socket::send_to(const std::uint8_t* bytes, std::size_t size, Address to) const noexcept {
    const auto address = to_sockaddr(to);
    for (;;) {
        const auto sent = ::sendto(fd_.get(), bytes, size, MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent >= 0) return static_cast<std::size_t>(sent) == size;
        if (errno != EINTR) return false;
    }
}

std::optional<Udp_socket::Received> Udp_socket::receive(std::uint8_t* buffer,
                                                        std::size_t capacity) const noexcept {
    for (;;) {
        sockaddr_in peer{};
        socklen_t peer_size = sizeof peer;
        const auto got = ::recvfrom(fd_.get(), buffer, capacity, MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&peer), &peer_size);
        if (got >= 0) {
            return Received{static_cast<std::size_t>(got),
                            Address{ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)}};
        }
        if (errno != EINTR) return std::nullopt;
    }
}

std::size_t sockets_bound_to(Address local) {
    // Lines of /proc/net/udp: "sl local_address rem_address st ...", the
    // address as the kernel stores it (network order read as a native
    // number) in hex, a colon, the port in hex.
    std::ifstream table("/proc/net/udp");
    if (!table) return 0;
    const std::uint32_t wanted_ip = htonl(local.ip);
    std::string line;
    std::getline(table, line);
    std::size_t count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string address;
        fields >> slot >> address;
        const auto colon = address.find(':');
        if (colon == std::string::npos) continue;
        try {
            const auto ip =
                static_cast<std::uint32_t>(std::stoul(address.substr(0, colon), nullptr, 16));
            const auto port =
                static_cast<std::uint16_t>(std::stoul(address.substr(colon + 1), nullptr, 16));
            if (ip == wanted_ip && port == local.port) ++count;
        } catch (const std::exception&) {
            continue;
        }
    }
    return count;
}

}  // namespace rk::com::runtime::someip
