#include "rk/com/runtime/local_transport.h"

#include <atomic>

namespace rk::com::runtime {

using cpp_binding::Service_info;
using tq::com::runtime::Serialized_payload;

namespace {

// Hands an answer to the caller on a delivery thread. Once the delivery
// threads are gone (the transport was destroyed while the provider still
// worked on the request) the answer is given at once in the answering thread
// instead of being lost. That thread is never one inside send_request: a
// provider is only ever called on a delivery thread.
void answer(const std::weak_ptr<static_thread_pool>& delivery,
            const std::shared_ptr<Response_handler>& handler, std::uint8_t code,
            const Serialized_payload& payload) {
    if (auto pool = delivery.lock()) {
        if (pool->post(
                [handler, code, payload]() mutable { (*handler)(code, std::move(payload)); }))
            return;
    }
    (*handler)(code, payload);
}

// Hands a request to an instance offered here; runs on a delivery thread.
void call_local(const std::shared_ptr<Request_handler>& target,
                const std::weak_ptr<static_thread_pool>& delivery, std::uint16_t method_id,
                std::uint16_t method_call_id, Serialized_payload request,
                const std::shared_ptr<Response_handler>& handler) {
    if (!target) return (*handler)(return_code::not_available, Serialized_payload());
    auto answered = std::make_shared<std::atomic<bool>>(false);
    Reply_function reply = [delivery, handler, answered](std::uint8_t code,
                                                         Serialized_payload payload) {
        if (!answered->exchange(true)) answer(delivery, handler, code, payload);
    };
    target->on_request(method_id, method_call_id, std::move(request), std::move(reply));
}

}  // namespace

std::shared_ptr<Request_handler> Local_transport::Offers::provider(
    const Service_info& service) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = offered_.find(service);
    return found == offered_.end() ? nullptr : found->second;
}

void Local_transport::Offers::set_availability_handler(Availability_handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    availability_ = std::move(handler);
}

Availability_handler Local_transport::Offers::add(const Service_info& service,
                                                  std::shared_ptr<Request_handler> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    offered_[service] = std::move(handler);
    return availability_;
}

std::optional<Availability_handler> Local_transport::Offers::remove(const Service_info& service) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offered_.erase(service) == 0) return std::nullopt;
    return availability_;
}

std::optional<Service_info> Local_transport::Offers::find(
    const tq::com::runtime::Service_id& service, const tq::com::runtime::Instance_id& instance) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : offered_) {
        if (entry.first.service_id() == service && entry.first.instance_id() == instance) return entry.first;
    }
    return std::nullopt;
}

void Local_transport::Offers::link(std::uint64_t subscription, std::uint64_t network) {
    std::lock_guard<std::mutex> lock(mutex_);
    network_subscriptions_[subscription] = network;
}

std::optional<std::uint64_t> Local_transport::Offers::unlink(std::uint64_t subscription) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = network_subscriptions_.find(subscription);
    if (found == network_subscriptions_.end()) return std::nullopt;
    const auto network = found->second;
    network_subscriptions_.erase(found);
    return network;
}

Local_transport::Local_transport(std::shared_ptr<Transport> network, std::uint32_t delivery_threads)
    : network_(std::move(network)), delivery_(delivery_threads) {}

Local_transport::~Local_transport() {
    if (network_) network_->set_availability_handler(nullptr);
}

void Local_transport::set_availability_handler(Availability_handler handler) {
    offers_->set_availability_handler(handler);
    if (!network_) return;
    if (!handler) return network_->set_availability_handler(nullptr);
    // An instance offered here stays available whatever the network says of it.
    network_->set_availability_handler(
        [offers = offers_, handler](const Service_info& service, bool available) {
            if (!offers->provider(service)) handler(service, available);
        });
}

void Local_transport::offer(const Service_info& service,
                            const connector::Service_interface_description& description,
                            std::shared_ptr<Request_handler> handler) {
    const auto notify = offers_->add(service, handler);
    if (network_) network_->offer(service, description, std::move(handler));
    if (notify) notify(service, true);
}

void Local_transport::stop_offer(const Service_info& service) {
    const auto notify = offers_->remove(service);
    if (!notify) return;
    if (network_) network_->stop_offer(service);
    if (*notify) (*notify)(service, network_ && network_->is_available(service));
}

std::vector<Service_info> Local_transport::find(const tq::com::runtime::Service_id& service,
                                                const tq::com::runtime::Instance_id& instance) {
    if (auto offered = offers_->find(service, instance)) return {*offered};
    return network_ ? network_->find(service, instance) : std::vector<Service_info>{};
}

bool Local_transport::is_available(const Service_info& service) {
    return offers_->provider(service) || (network_ && network_->is_available(service));
}

void Local_transport::send_request(const Service_info& service, std::uint16_t method_id,
                                   std::uint16_t method_call_id, Serialized_payload request,
                                   Response_handler handler) {
    if (network_ && !offers_->provider(service)) {
        return network_->send_request(service, method_id, method_call_id, std::move(request),
                                      std::move(handler));
    }
    auto pending = std::make_shared<Response_handler>(std::move(handler));
    // The offer is looked up when the request is handed over, so a request
    // queued before stop_offer is answered 0xFF instead of reaching a
    // withdrawn provider. The pool refuses tasks only once this transport is
    // being destroyed, when no caller can be left.
    const auto pool = delivery_.pool();
    std::weak_ptr<static_thread_pool> delivery = pool;
    pool->post([offers = offers_, delivery, service, method_id, method_call_id,
                request = std::move(request), pending]() mutable {
        call_local(offers->provider(service), delivery, method_id, method_call_id,
                   std::move(request), pending);
    });
}

void Local_transport::send_event(const Service_info& service, std::uint16_t event_id,
                                 const std::vector<Serialized_payload>& payloads) {
    for (const auto& payload : payloads) {
        if (payload.serialization_type() == Serialized_payload::someip)
            subscriptions_.deliver(service, event_id, payload);
    }
    if (network_) network_->send_event(service, event_id, payloads);
}

std::uint64_t Local_transport::subscribe(const Service_info& service, std::uint16_t event_id,
                                         Event_handler handler) {
    const auto id = subscriptions_.add(service, event_id, handler);
    if (network_) {
        offers_->link(id, network_->subscribe(service, event_id, std::move(handler)));
    }
    return id;
}

void Local_transport::unsubscribe(std::uint64_t subscription) {
    subscriptions_.remove(subscription);
    if (const auto remote = offers_->unlink(subscription)) network_->unsubscribe(*remote);
}

}  // namespace rk::com::runtime
