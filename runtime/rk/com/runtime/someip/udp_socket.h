// One bound, non-blocking UDP socket (IPv4): bytes in, bytes out. The
// descriptor is closed with the object; the transport shares a socket
// between its users (an offer, a reply still to be sent, the poll loop).
#pragma once

#include "rk/com/runtime/someip/service_discovery.h"
#include "wardex/base/fd.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace rk::com::runtime::someip {

class Udp_socket {
public:
    // Binds local (port 0: a port the system picks). With share_port, other
    // sockets that also share may bind the same port (a multicast receiver of
    // another stack on 0.0.0.0, say). Throws std::system_error.
    static Udp_socket bind(Address local, bool share_port = false);
    // A socket receiving the group's datagrams on interface; shared by every
    // process of the host on that port. Throws std::system_error.
    static Udp_socket join_group(Address group, Address interface);

    int fd() const noexcept { return fd_.get(); }
    Address local() const noexcept { return local_; }

    // Multicast datagrams leave through interface and come back to this host too.
    void send_multicast_from(Address interface) const;
    // The whole datagram or false (errno tells why).
    bool send_to(const std::uint8_t* bytes, std::size_t size, Address to) const noexcept;
    // One datagram into buffer; nothing when none is waiting.
    struct Received {
        std::size_t size;
        Address from;
    };
    std::optional<Received> receive(std::uint8_t* buffer, std::size_t capacity) const noexcept;

private:
    Udp_socket(wardex::base::Fd fd, Address local) noexcept : fd_(std::move(fd)), local_(local) {}

    wardex::base::Fd fd_;
    Address local_;
};

// How many sockets of this host are bound to exactly this address and port
// (0 when that cannot be told).
std::size_t sockets_bound_to(Address local);

}  // namespace rk::com::runtime::someip
