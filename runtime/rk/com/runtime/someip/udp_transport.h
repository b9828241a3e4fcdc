// The network transport of the communication runtime: SOME/IP over UDP.
//
// An offered instance that the deployment places on an endpoint listens on
// that endpoint (address and port of the deployment; never all interfaces
// unless the deployment names 0.0.0.0); requests arriving there reach the
// instance's Request_handler and are answered from the same endpoint. Calls
// to instances of other processes leave through one client socket bound to
// the deployment's unicast address, with this process's client id and a
// session id counted 1…0xFFFF; a call not answered within the call time-out
// ends with 0x81. Instances offered in this process are called in-process.
//
// Service discovery (SOME/IP-SD, when the deployment enables it): every
// offered instance with an endpoint is announced (initial wait, repetitions,
// then cyclically) to the multicast group and the configured peers, and
// withdrawn with a stop offer; finds are answered; subscriptions to its
// eventgroups are acknowledged (refused for an unknown eventgroup), kept
// until their TTL runs out or they are stopped, and each event goes to every
// live subscriber as a NOTIFICATION. An instance of another process is
// available while its offer is live; calls go to the endpoint the offer
// named, and this process subscribes to the eventgroups of its event
// subscriptions with every offer it receives. Events of other processes
// reach their handlers on the receiving thread, in the order they arrive.
//
// One receiving thread serves every socket; replies to callers and
// time-outs are handed to them on the transport's delivery threads. The
// destructor joins the receiving thread and drops unanswered calls; replies
// still being produced by a provider go out on the endpoint's socket, which
// lives as long as they do.
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
    };

    // Throws std::system_error when the client socket cannot be bound.
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

    struct Engine;

private:
    std::shared_ptr<Engine> engine_;
};

}  // namespace rk::com::runtime::someip
