#include "rk/com/cpp_binding/proxy/rport.h"

#include "rk/com/cpp_binding/logger.h"

#include <algorithm>
#include <atomic>

namespace rk::com::cpp_binding::proxy {

using tq::com::runtime::Method_call;
using tq::com::runtime::Serialized_payload;

Rport::Rport(const tq::com::runtime::Service_handle& handle,
             connector::Service_interface_description description)
    : Port_link(port_logger(), Service_info(handle.get_service_id(), handle.get_instance_id())),
      runtime_(runtime::Runtime::current()),
      description_(description),
      client_(runtime_->client(service_info())) {}

Rport::~Rport() {
    std::lock_guard<std::mutex> lock(subscriptions_mutex_);
    for (auto subscription : subscriptions_) runtime_->transport().unsubscribe(subscription);
}

bool Rport::service_available() const noexcept {
    return client_->state() == tq::com::runtime::Client::Service_state::available;
}

std::shared_ptr<Method_call> Rport::call_method(std::uint16_t method_id, Serialized_payload request,
                                                Response_handler handler) {
    const auto call_id = runtime_->next_method_call_id();
    auto call = std::make_shared<Method_call>(service_info().service_id(),
                                              service_info().instance_id(), method_id, call_id);
    // The handler runs at most once whatever the transport does.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto once = [answered, handler = std::move(handler)](std::uint8_t code, Serialized_payload payload) {
        if (!answered->exchange(true) && handler) handler(code, std::move(payload));
    };
    runtime_->transport().send_request(service_info(), method_id, call_id, std::move(request),
                                       std::move(once));
    return call;
}

std::uint64_t Rport::subscribe_event(std::uint16_t event_id, Event_handler handler) {
    const auto id = runtime_->transport().subscribe(service_info(), event_id, std::move(handler));
    std::lock_guard<std::mutex> lock(subscriptions_mutex_);
    subscriptions_.push_back(id);
    return id;
}

void Rport::unsubscribe_event(std::uint64_t subscription) {
    runtime_->transport().unsubscribe(subscription);
    std::lock_guard<std::mutex> lock(subscriptions_mutex_);
    subscriptions_.erase(std::remove(subscriptions_.begin(), subscriptions_.end(), subscription),
                         subscriptions_.end());
}

}  // namespace rk::com::cpp_binding::proxy
