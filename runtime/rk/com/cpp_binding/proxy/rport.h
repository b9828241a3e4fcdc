// The required port of one found service instance: its availability, its
// method calls and its event subscriptions.
#pragma once

#include "rk/com/connector/service_interface_description.h"
#include "rk/com/cpp_binding/port_link.h"
#include "rk/com/runtime/runtime.h"
#include "tq/com/runtime/method_call.h"
#include "tq/com/runtime/service_handle.h"

#include <memory>
#include <mutex>
#include <vector>

namespace rk::com::cpp_binding::proxy {

class Rport : public Port_link {
public:
    using Response_handler = runtime::Response_handler;
    using Event_handler = runtime::Event_handler;

    // Throws std::logic_error when no runtime component lives.
    Rport(const tq::com::runtime::Service_handle& handle,
          connector::Service_interface_description description);
    ~Rport() override;

    // True while the client's state is 2 (available).
    bool service_available() const noexcept;
    const tq::com::runtime::Client& client() const noexcept { return *client_; }

    // Sends a request; the handler is called once, on a runtime thread, with
    // the 8-bit return code and the response payload. Returns the pending
    // call's handle; releasing it does not cancel the call.
    std::shared_ptr<tq::com::runtime::Method_call> call_method(
        std::uint16_t method_id, tq::com::runtime::Serialized_payload request,
        Response_handler handler);

    std::uint64_t subscribe_event(std::uint16_t event_id, Event_handler handler);
    void unsubscribe_event(std::uint64_t subscription);

    const connector::Service_interface_description& description() const noexcept {
        return description_;
    }

private:
    std::shared_ptr<runtime::Runtime> runtime_;
    connector::Service_interface_description description_;
    std::shared_ptr<tq::com::runtime::Client> client_;
    std::mutex subscriptions_mutex_;
    std::vector<std::uint64_t> subscriptions_;
};

}  // namespace rk::com::cpp_binding::proxy
