#include "rk/com/runtime/fake_transport.h"

namespace rk::com::runtime {
namespace {

using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Serialized_payload;

Serialized_payload payload_of(Payload_buffer bytes) {
    return Serialized_payload(Serialized_payload::someip, std::make_shared<Payload_buffer>(std::move(bytes)));
}

}  // namespace

void Fake_transport::set_remote(const Service_info& service, bool available) {
    Availability_handler notify;
    {
        Lock lock(mutex_);
        available ? void(remote_.insert(service)) : void(remote_.erase(service));
        notify = availability_;
    }
    if (notify) notify(service, available);
}

std::optional<Response_handler> Fake_transport::take_handler(std::size_t index) {
    Lock lock(mutex_);
    if (index >= handlers_.size() || !handlers_[index]) return std::nullopt;
    auto handler = std::move(handlers_[index]);
    handlers_[index].reset();
    return handler;
}

bool Fake_transport::reply(std::size_t index, std::uint8_t return_code, Payload_buffer payload) {
    auto handler = take_handler(index);
    if (handler && *handler) (*handler)(return_code, payload_of(std::move(payload)));
    return handler.has_value();
}

std::shared_ptr<const Fake_transport::Reply_slot> Fake_transport::deliver_request(
    const Service_info& service, std::uint16_t method_id, Payload_buffer payload, bool expect_reply,
    std::uint16_t method_call_id) {
    auto slot = std::make_shared<Reply_slot>();
    Reply_function reply;
    if (expect_reply) {
        reply = [slot](std::uint8_t code, Serialized_payload answer) {
            std::call_once(slot->once_, [&] { slot->promise_.set_value(Reply{code, answer.payload()}); });
        };
    }
    const auto provider = [&] {
        Lock lock(mutex_);
        const auto found = offered_.find(service);
        return found == offered_.end() ? nullptr : found->second;
    }();
    if (provider) provider->on_request(method_id, method_call_id, payload_of(std::move(payload)), std::move(reply));
    if (!provider && reply) reply(return_code::not_available, Serialized_payload());
    return slot;
}

void Fake_transport::stop_offer(const Service_info& service) {
    auto released = [&] {  // let go outside the lock
        Lock lock(mutex_);
        return offered_.extract(service);
    }();
}

}  // namespace rk::com::runtime
