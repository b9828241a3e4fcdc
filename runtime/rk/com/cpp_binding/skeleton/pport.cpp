#include "rk/com/cpp_binding/skeleton/pport.h"

#include "rk/com/cpp_binding/logger.h"
#include "rk/com/cpp_binding/skeleton/method_dispatcher.h"

#include "ara/log/logging.h"

namespace rk::com::cpp_binding::skeleton {

using tq::com::runtime::Serialized_payload;

// Held by the transport while offered; outlives the port if a request is
// still being handed over.
class Pport::Requests final : public runtime::Request_handler {
public:
    void on_request(std::uint16_t method_id, std::uint16_t method_call_id,
                    Serialized_payload request, Reply_function reply) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (dispatcher_ == nullptr) {
            lock.unlock();
            Method_impl_base::reply_method(reply, Serialized_payload(), runtime::return_code::not_available);
            return;
        }
        // Held while handing over so that the dispatcher cannot go meanwhile.
        // dispatch only queues the request (or answers through the transport)
        // and never calls back into the port, so this cannot deadlock.
        dispatcher_->dispatch(method_id, method_call_id, std::move(request), std::move(reply));
    }

    void set_dispatcher(Method_dispatcher* dispatcher) {
        std::lock_guard<std::mutex> lock(mutex_);
        dispatcher_ = dispatcher;
    }

private:
    std::mutex mutex_;
    Method_dispatcher* dispatcher_{nullptr};
};

Pport::Pport(tq::com::runtime::Service_id service_id, tq::com::runtime::Instance_id instance_id,
             connector::Service_interface_description description)
    : Port_link(port_logger(), Service_info(std::move(service_id), std::move(instance_id))),
      runtime_(runtime::Runtime::current()),
      description_(description),
      requests_(std::make_shared<Requests>()) {}

Pport::~Pport() {
    try {
        stop_offer();
    } catch (const std::exception& error) {
        ara::log::CreateLogger("RCOM", "communication runtime").LogError()
            << "Withdrawing the offer failed:" << error.what();
    } catch (...) {
        ara::log::CreateLogger("RCOM", "communication runtime").LogError()
            << "Withdrawing the offer failed";
    }
}

void Pport::register_event(std::uint16_t event_id, Provided_event_base& event) {
    std::lock_guard<std::mutex> lock(events_mutex_);
    events_[event_id] = &event;
    if (offered_) event.set_serialization_types({Serialized_payload::someip});
}

void Pport::unregister_event(std::uint16_t event_id) {
    std::lock_guard<std::mutex> lock(events_mutex_);
    events_.erase(event_id);
}

void Pport::set_dispatcher(Method_dispatcher* dispatcher) { requests_->set_dispatcher(dispatcher); }

void Pport::set_event_types(std::uint32_t type) {
    for (auto& entry : events_) entry.second->set_serialization_types({type});
}

void Pport::send_event(std::uint16_t event_id, const std::vector<Serialized_payload>& payloads) {
    if (!is_offered()) return;
    runtime_->transport().send_event(service_info(), event_id, payloads);
}

void Pport::start_offer() {
    {
        std::lock_guard<std::mutex> lock(events_mutex_);
        if (offered_) return;
        offered_ = true;
        set_event_types(Serialized_payload::someip);
    }
    runtime_->transport().offer(service_info(), description_, requests_);
}

void Pport::stop_offer() {
    {
        std::lock_guard<std::mutex> lock(events_mutex_);
        if (!offered_) return;
        offered_ = false;
        set_event_types(Serialized_payload::invalid);
    }
    runtime_->transport().stop_offer(service_info());
}

bool Pport::is_offered() const {
    std::lock_guard<std::mutex> lock(events_mutex_);
    return offered_;
}

}  // namespace rk::com::cpp_binding::skeleton
