// The network transport of the communication runtime: SOME/IP over UDP. It
// carries traffic to and from other processes only; instances offered and
// called inside this process are routed by Local_transport in front of it.
//
// Its parts, each owning its data and its lock:
// - Udp_socket and Poll_loop: the bound sockets and the one receiving thread;
// - Discovery_driver: the Service_discovery state machine (offers, finds,
//   subscriptions, sessions and reboots), the availability handler and the
//   notifications' session ids;
// - Call_table: calls waiting for their reply, with their deadlines;
// - Request_router: requests to the instances offered here;
// - Event_subscriptions: events of other processes' instances.
// No two of these locks are ever held at once, and handlers, replies and
// sends run with none of them held.
//
// An offered instance that the deployment places on an endpoint listens
// there; its requests are answered and its events sent from that endpoint.
// Calls leave through one client socket on the unicast address, with this
// process's client id; a call not answered within the call time-out ends
// with 0x81. With discovery on, the process owns <unicast>:<SD port> (plus
// the multicast group on that port) and sends every discovery message from
// it; a second process on the same address is refused with an error that
// says so. Replies to callers and time-outs are handed over on the
// transport's delivery threads; events of other processes reach their
// handlers on the receiving thread, in the order they arrive.
#pragma once

#include "rk/com/runtime/someip/deployment.h"
#include "rk/com/runtime/transport.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace rk::com::runtime::someip {

class Udp_transport final : public Transport {
public:
    struct Statistics {
        // Datagrams cut short or whose length fields do not add up.
        std::uint64_t malformed_datagrams{0};
        // Replies that match no call waiting for one (late, or not ours),
        // and events nobody here subscribed to.
        std::uint64_t unmatched_replies{0};
        // Discovery datagrams or messages whose lengths or option indices do not add up.
        std::uint64_t malformed_discovery_messages{0};
        // Requests dropped because their instance had too many waiting.
        std::uint64_t dropped_requests{0};
    };

    // Throws std::system_error when the client socket cannot be bound, or
    // (EADDRINUSE) when another process runs discovery on the same address.
    explicit Udp_transport(Deployment deployment);
    ~Udp_transport() override;
    Udp_transport(const Udp_transport&) = delete;
    Udp_transport& operator=(const Udp_transport&) = delete;

    void set_availability_handler(Availability_handler handler) override;
    void offer(const cpp_binding::Service_info& service,
               const connector::Service_interface_description& description,
               std::shared_ptr<Request_handler> handler) override;
    void stop_offer(const cpp_binding::Service_info& service) override;
    std::vector<cpp_binding::Service_info> find(const tq::com::runtime::Service_id& service,
                                                const tq::com::runtime::Instance_id& instance) override;
    bool is_available(const cpp_binding::Service_info& service) override;
    void send_request(const cpp_binding::Service_info& service, std::uint16_t method_id,
                      std::uint16_t method_call_id, tq::com::runtime::Serialized_payload request,
                      Response_handler handler) override;
    void send_event(const cpp_binding::Service_info& service, std::uint16_t event_id,
                    const std::vector<tq::com::runtime::Serialized_payload>& payloads) override;
    std::uint64_t subscribe(const cpp_binding::Service_info& service, std::uint16_t event_id,
                            Event_handler handler) override;
    void unsubscribe(std::uint64_t subscription) override;

    const Deployment& deployment() const noexcept;
    Statistics statistics() const noexcept;
    // The UDP port an offered instance listens on; nothing when it listens
    // on none (not in the deployment, or its endpoint could not be bound).
    std::optional<std::uint16_t> bound_port(const cpp_binding::Service_info& service) const;
    // The port calls leave from and replies and subscribed events come back to.
    std::uint16_t client_port() const noexcept;
    // The port this process's discovery messages leave from and unicast
    // discovery messages come to; nothing when discovery is off.
    std::optional<std::uint16_t> discovery_port() const noexcept;
    // Live subscriptions of other processes to the eventgroups of an
    // instance offered here.
    std::size_t subscriber_count(const cpp_binding::Service_info& service) const;

private:
    class Core;
    std::shared_ptr<Core> core_;
};

}  // namespace rk::com::runtime::someip
