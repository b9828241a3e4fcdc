// The instances this process offers on the network and the requests that
// reach them. A request is checked against the offers listening on the
// endpoint it arrived at (service, method, versions, message type) and is
// either refused with the SOME/IP error it deserves or handed to the
// instance's handler with a reply function that answers from that endpoint.
//
// What an instance has received and not yet handled is bounded: a request
// holds its place (one request, its payload bytes) until the handler lets go
// of its payload. A request beyond the bound is dropped unanswered and
// counted; an error would go to whatever source the datagram names, which
// anyone can forge, and would only add work while the instance is behind.
#pragma once

#include "rk/com/runtime/someip/wire.h"
#include "rk/com/runtime/someip/udp_socket.h"
#include "rk/com/runtime/transport.h"
#include "wardex/base/in_flight_gate.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace rk::com::runtime::someip {

class Request_router {
public:
    struct Offer {
        cpp_binding::Service_info service;
        std::shared_ptr<Request_handler> handler;
        std::uint16_t wire_service_id{0};
        std::uint8_t major_version{0};
        // The wire id of the binding's method n is method_ids[n].
        std::vector<std::uint16_t> method_ids;
        std::shared_ptr<Udp_socket> endpoint;
        std::size_t max_queued_requests{64};
        std::size_t max_queued_bytes{1024 * 1024};
    };

    void add(const Offer& offer);
    // Removes the offer and waits until no request is being handed to its
    // handler (but the one this thread may be in). Returns the endpoint when
    // no other offer listens there any more.
    std::shared_ptr<Udp_socket> remove(const cpp_binding::Service_info& service);
    // The offer of an instance, if this process offers it on the network.
    std::shared_ptr<const Offer> find(const cpp_binding::Service_info& service) const;
    // An endpoint already bound to local, to be shared by another offer.
    std::shared_ptr<Udp_socket> endpoint_at(Address local) const;

    // Refuses the request, drops it, or hands it to its offer's handler.
    void on_request(const std::shared_ptr<Udp_socket>& endpoint, Address peer, const Message& message,
                    const std::shared_ptr<tq::com::runtime::Payload_buffer>& bytes);

    // Requests dropped because their instance's bound was reached.
    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

private:
    // The requests of one offer that its handler still holds.
    struct Intake {
        std::mutex mutex;
        std::size_t requests{0};
        std::size_t bytes{0};
    };
    struct Held_request;
    struct Entry {
        std::shared_ptr<const Offer> offer;
        // Closed by remove, which waits for the requests being handed over.
        wardex::base::In_flight_gate gate;
        std::shared_ptr<Intake> intake = std::make_shared<Intake>();
    };

    // The offer listening on endpoint for the service, or null.
    std::shared_ptr<Entry> entry_at(const std::shared_ptr<Udp_socket>& endpoint, std::uint16_t service_id) const;
    // Takes the request into the offer's intake; false, counted and warned
    // about, when the intake's bound is reached.
    bool admit(Entry& entry, Address peer, const Header& header);
    // Gives the admitted request to the offer's handler, with a reply
    // function when the request expects an answer.
    void hand_over(Entry& entry, const std::shared_ptr<Udp_socket>& endpoint, Address peer,
                   const Message& message, const std::shared_ptr<tq::com::runtime::Payload_buffer>& bytes);

    mutable std::mutex mutex_;
    std::map<cpp_binding::Service_info, std::shared_ptr<Entry>> offers_;
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace rk::com::runtime::someip
