// The provided port of one service instance: offers it through the
// transport, routes its requests to the method dispatcher and sends its
// events. Events registered here are told to use SOME/IP (type 0) while the
// instance is offered, and the invalid type otherwise.
#pragma once

#include "rk/com/connector/service_interface_description.h"
#include "rk/com/cpp_binding/port_link.h"
#include "rk/com/cpp_binding/skeleton/provided_event_base.h"
#include "rk/com/runtime/runtime.h"

#include <map>
#include <memory>
#include <mutex>

namespace rk::com::cpp_binding::skeleton {

class Method_dispatcher;

class Pport : public Port_link {
public:
    // Throws std::logic_error when no runtime component lives.
    Pport(tq::com::runtime::Service_id service_id, tq::com::runtime::Instance_id instance_id,
          connector::Service_interface_description description);
    // Withdraws a still standing offer.
    ~Pport() override;

    void register_event(std::uint16_t event_id, Provided_event_base& event);
    void unregister_event(std::uint16_t event_id);
    // Dropped while the instance is not offered.
    void send_event(std::uint16_t event_id,
                    const std::vector<tq::com::runtime::Serialized_payload>& payloads);

    void start_offer();
    void stop_offer();
    bool is_offered() const;

    const connector::Service_interface_description& description() const noexcept {
        return description_;
    }

private:
    friend class Method_dispatcher;
    class Requests;

    void set_event_types(std::uint32_t type);
    void set_dispatcher(Method_dispatcher* dispatcher);

    std::shared_ptr<runtime::Runtime> runtime_;
    connector::Service_interface_description description_;
    std::shared_ptr<Requests> requests_;
    // Guards the events and is held while they are told their serialization
    // types; sending never takes it, so an event may send under its own mutex.
    mutable std::mutex events_mutex_;
    std::map<std::uint16_t, Provided_event_base*> events_;
    bool offered_{false};
};

}  // namespace rk::com::cpp_binding::skeleton
