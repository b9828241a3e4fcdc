#include "rk/com/runtime/fake_transport.h"

namespace rk::com::runtime {

using cpp_binding::Service_info;
using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Serialized_payload;

std::optional<Fake_transport::Reply> Fake_transport::Reply_slot::wait(
    std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return reply_.has_value(); });
    return reply_;
}

bool Fake_transport::Reply_slot::answered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reply_.has_value();
}

void Fake_transport::notify_availability(const Service_info& service, bool available) {
    Availability_handler notify;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notify = availability_;
    }
    if (notify) notify(service, available);
}

void Fake_transport::add_remote_instance(const Service_info& service) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remote_.insert(service);
    }
    notify_availability(service, true);
}

void Fake_transport::remove_remote_instance(const Service_info& service) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remote_.erase(service);
    }
    notify_availability(service, false);
}

std::vector<Fake_transport::Request> Fake_transport::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool Fake_transport::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool Fake_transport::reply(std::size_t index, std::uint8_t return_code, Payload_buffer payload) {
    Response_handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= handlers_.size() || !handlers_[index]) return false;
        handler = std::move(*handlers_[index]);
        handlers_[index].reset();
    }
    if (handler) {
        handler(return_code, Serialized_payload(Serialized_payload::someip,
                                                std::make_shared<Payload_buffer>(std::move(payload))));
    }
    return true;
}

bool Fake_transport::drop(std::size_t index) {
    Response_handler released;
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= handlers_.size() || !handlers_[index]) return false;
    released = std::move(*handlers_[index]);
    handlers_[index].reset();
    return true;
}

bool Fake_transport::is_offered(const Service_info& service) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return offered_.count(service) != 0;
}

std::shared_ptr<const Fake_transport::Reply_slot> Fake_transport::deliver_request(
    const Service_info& service, std::uint16_t method_id, Payload_buffer payload, bool expect_reply,
    std::uint16_t method_call_id) {
    auto slot = std::make_shared<Reply_slot>();
    std::shared_ptr<Request_handler> provider;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = offered_.find(service);
        if (found != offered_.end()) provider = found->second;
    }
    Reply_function reply;
    if (expect_reply) {
        reply = [slot](std::uint8_t code, Serialized_payload answer) {
            {
                std::lock_guard<std::mutex> lock(slot->mutex_);
                if (slot->reply_) return;
                slot->reply_ = Reply{code, answer.payload()};
            }
            slot->changed_.notify_all();
        };
    }
    if (!provider) {
        if (reply) reply(return_code::not_available, Serialized_payload());
        return slot;
    }
    provider->on_request(method_id, method_call_id,
                         Serialized_payload(Serialized_payload::someip,
                                            std::make_shared<Payload_buffer>(std::move(payload))),
                         std::move(reply));
    return slot;
}

std::vector<Fake_transport::Sent_event> Fake_transport::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

bool Fake_transport::wait_for_events(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
}

void Fake_transport::deliver_event(const Service_info& service, std::uint16_t event_id,
                                   Payload_buffer payload) {
    std::vector<Event_handler> receivers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : subscriptions_) {
            if (entry.second.service == service && entry.second.event_id == event_id) {
                receivers.push_back(entry.second.handler);
            }
        }
    }
    const Serialized_payload event(Serialized_payload::someip,
                                   std::make_shared<Payload_buffer>(std::move(payload)));
    for (const auto& receiver : receivers) receiver(event);
}

void Fake_transport::set_availability_handler(Availability_handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    availability_ = std::move(handler);
}

void Fake_transport::offer(const Service_info& service,
                           const connector::Service_interface_description& /*description*/,
                           std::shared_ptr<Request_handler> handler) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        offered_[service] = std::move(handler);
    }
    changed_.notify_all();
}

void Fake_transport::stop_offer(const Service_info& service) {
    std::shared_ptr<Request_handler> released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = offered_.find(service);
        if (found == offered_.end()) return;
        released = std::move(found->second);
        offered_.erase(found);
    }
    changed_.notify_all();
}

std::vector<Service_info> Fake_transport::find(const tq::com::runtime::Service_id& service,
                                               const tq::com::runtime::Instance_id& instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Service_info> found;
    for (const auto& info : remote_) {
        if (info.service_id() == service && info.instance_id() == instance) found.push_back(info);
    }
    return found;
}

bool Fake_transport::is_available(const Service_info& service) {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_.count(service) != 0;
}

void Fake_transport::send_request(const Service_info& service, std::uint16_t method_id,
                                  std::uint16_t method_call_id, Serialized_payload request,
                                  Response_handler handler) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(Request{service, method_id, method_call_id, request.payload()});
        handlers_.emplace_back(std::move(handler));
    }
    changed_.notify_all();
}

void Fake_transport::send_event(const Service_info& service, std::uint16_t event_id,
                                const std::vector<Serialized_payload>& payloads) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(Sent_event{service, event_id, payloads});
    }
    changed_.notify_all();
}

std::uint64_t Fake_transport::subscribe(const Service_info& service, std::uint16_t event_id,
                                        Event_handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto id = next_subscription_++;
    subscriptions_.emplace(id, Subscription{service, event_id, std::move(handler)});
    return id;
}

void Fake_transport::unsubscribe(std::uint64_t subscription) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscriptions_.erase(subscription);
}

}  // namespace rk::com::runtime
