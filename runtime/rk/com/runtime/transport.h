// The seam between the communication runtime and whatever carries service
// traffic. The runtime's ports talk only to a Transport; the in-process
// transport (Local_transport) connects ports of this process with each other,
// a network transport (SOME/IP over UDP) implements the same interface, and
// tests use Fake_transport to play the remote side.
//
// What an implementation promises:
// - offer / stop_offer make an instance of this process visible / invisible;
//   requests for an offered instance reach its Request_handler, possibly on
//   several threads at once, until stop_offer returns.
// - find lists the instances currently known (offered here or remotely).
// - The availability handler is told whenever an instance appears or goes.
// - send_request calls the response handler exactly once (or drops it when
//   the transport itself is torn down), on a thread of the transport, never
//   inside send_request itself, with an 8-bit binding return code:
//     0x00 ok, 0x80 request failed in the provider, 0x01..0x3F an application
//     error of the interface, 0x81 no reply in time, 0x82 rejected by the
//     peer (unknown method, wrong version or message type), 0x86 sending
//     failed locally, 0x87 the request could not be decoded (malformed, or
//     longer than the method's input can be), 0xFF instance not available.
// - A Reply_function handed to a Request_handler may be called at most once;
//   it may be empty for a request that expects no reply.
// - send_event hands the payloads to every subscriber of the event.
#pragma once

#include "rk/com/connector/service_interface_description.h"
#include "rk/com/cpp_binding/service_info.h"
#include "tq/com/runtime/serialized_payload.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace rk::com::runtime {

namespace return_code {
constexpr std::uint8_t ok = 0x00;
constexpr std::uint8_t request_failed = 0x80;
constexpr std::uint8_t timeout = 0x81;
constexpr std::uint8_t rejected = 0x82;
constexpr std::uint8_t send_failed = 0x86;
constexpr std::uint8_t malformed_request = 0x87;
constexpr std::uint8_t not_available = 0xFF;
}  // namespace return_code

using Reply_function = std::function<void(std::uint8_t return_code, tq::com::runtime::Serialized_payload payload)>;
using Response_handler = std::function<void(std::uint8_t return_code, tq::com::runtime::Serialized_payload payload)>;
using Event_handler = std::function<void(const tq::com::runtime::Serialized_payload& payload)>;
using Availability_handler = std::function<void(const cpp_binding::Service_info& service, bool available)>;

// The provider side of one offered instance.
class Request_handler {
public:
    virtual ~Request_handler() = default;
    virtual void on_request(std::uint16_t method_id, std::uint16_t method_call_id,
                            tq::com::runtime::Serialized_payload request, Reply_function reply) = 0;
};

class Transport {
public:
    virtual ~Transport() = default;

    virtual void set_availability_handler(Availability_handler handler) = 0;

    virtual void offer(const cpp_binding::Service_info& service,
                       const connector::Service_interface_description& description,
                       std::shared_ptr<Request_handler> handler) = 0;
    virtual void stop_offer(const cpp_binding::Service_info& service) = 0;

    virtual std::vector<cpp_binding::Service_info> find(const tq::com::runtime::Service_id& service,
                                                        const tq::com::runtime::Instance_id& instance) = 0;
    virtual bool is_available(const cpp_binding::Service_info& service) = 0;

    virtual void send_request(const cpp_binding::Service_info& service, std::uint16_t method_id,
                              std::uint16_t method_call_id,
                              tq::com::runtime::Serialized_payload request,
                              Response_handler handler) = 0;

    virtual void send_event(const cpp_binding::Service_info& service, std::uint16_t event_id,
                            const std::vector<tq::com::runtime::Serialized_payload>& payloads) = 0;
    virtual std::uint64_t subscribe(const cpp_binding::Service_info& service, std::uint16_t event_id,
                                    Event_handler handler) = 0;
    virtual void unsubscribe(std::uint64_t subscription) = 0;
};

}  // namespace rk::com::runtime
