#include "rk/com/runtime/local_transport.h"

#include <atomic>

namespace rk::com::runtime {

using cpp_binding::Service_info;
using tq::com::runtime::Serialized_payload;

Local_transport::Local_transport(std::uint32_t delivery_threads)
    : delivery_(std::make_shared<static_thread_pool>(delivery_threads)) {}

Local_transport::~Local_transport() = default;

void Local_transport::set_availability_handler(Availability_handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    availability_ = std::move(handler);
}

void Local_transport::offer(const Service_info& service,
                            const connector::Service_interface_description& /*description*/,
                            std::shared_ptr<Request_handler> handler) {
    Availability_handler notify;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        offered_[service] = std::move(handler);
        notify = availability_;
    }
    if (notify) notify(service, true);
}

void Local_transport::stop_offer(const Service_info& service) {
    Availability_handler notify;
    std::shared_ptr<Request_handler> released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = offered_.find(service);
        if (found == offered_.end()) return;
        released = std::move(found->second);
        offered_.erase(found);
        notify = availability_;
    }
    if (notify) notify(service, false);
}

std::vector<Service_info> Local_transport::find(const tq::com::runtime::Service_id& service,
                                                const tq::com::runtime::Instance_id& instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Service_info> found;
    for (const auto& entry : offered_) {
        if (entry.first.service_id() == service && entry.first.instance_id() == instance) {
            found.push_back(entry.first);
        }
    }
    return found;
}

bool Local_transport::is_available(const Service_info& service) {
    std::lock_guard<std::mutex> lock(mutex_);
    return offered_.count(service) != 0;
}

void Local_transport::send_request(const Service_info& service, std::uint16_t method_id,
                                   std::uint16_t method_call_id, Serialized_payload request,
                                   Response_handler handler) {
    std::shared_ptr<Request_handler> provider;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = offered_.find(service);
        if (found != offered_.end()) provider = found->second;
    }
    auto pending = std::make_shared<Response_handler>(std::move(handler));
    std::weak_ptr<static_thread_pool> delivery = delivery_;
    if (!provider) {
        delivery_->post([pending] { (*pending)(return_code::not_available, Serialized_payload()); });
        return;
    }
    auto answered = std::make_shared<std::atomic<bool>>(false);
    Reply_function reply = [delivery, pending, answered](std::uint8_t code, Serialized_payload payload) {
        if (answered->exchange(true)) return;
        if (auto pool = delivery.lock()) {
            pool->post([pending, code, payload = std::move(payload)]() mutable {
                (*pending)(code, std::move(payload));
            });
        }
    };
    const bool queued = delivery_->post(
        [provider, method_id, method_call_id, request = std::move(request), reply]() mutable {
            provider->on_request(method_id, method_call_id, std::move(request), std::move(reply));
        });
    if (!queued) (*pending)(return_code::send_failed, Serialized_payload());
}

void Local_transport::send_event(const Service_info& service, std::uint16_t event_id,
                                 const std::vector<Serialized_payload>& payloads) {
    std::vector<std::shared_ptr<Event_handler>> receivers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : subscriptions_) {
            if (entry.second.service == service && entry.second.event_id == event_id) {
                receivers.push_back(entry.second.handler);
            }
        }
    }
    for (const auto& receiver : receivers) {
        for (const auto& payload : payloads) {
            if (payload.serialization_type() == Serialized_payload::someip) (*receiver)(payload);
        }
    }
}

std::uint64_t Local_transport::subscribe(const Service_info& service, std::uint16_t event_id,
                                         Event_handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto id = next_subscription_++;
    subscriptions_.emplace(id, Subscription{service, event_id,
                                            std::make_shared<Event_handler>(std::move(handler))});
    return id;
}

void Local_transport::unsubscribe(std::uint64_t subscription) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.erase(subscription);
}

}  // namespace rk::com::runtime
