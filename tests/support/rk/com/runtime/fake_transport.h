// Test double of the transport: plays the remote side of required ports and
// the remote clients of provided ports. Requests sent through an Rport are
// recorded, and the test answers any of them from any thread (the response
// handler runs in the answering thread); instances added with
// add_remote_instance are found and available; deliver_request hands a
// request to a service offered in this process and collects its reply;
// events sent by provided ports are recorded.
#pragma once

#include "rk/com/runtime/transport.h"

#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace rk::com::runtime {

class Fake_transport final : public Transport {
public:
    using Service_info = cpp_binding::Service_info;
    using Payload_buffer = tq::com::runtime::Payload_buffer;
    using Serialized_payload = tq::com::runtime::Serialized_payload;
    using Lock = std::lock_guard<std::mutex>;
    struct Request {
        Service_info service;
        std::uint16_t method_id;
        Payload_buffer payload;
    };
    struct Sent_event {
        Service_info service;
        std::uint16_t event_id;
        std::vector<Serialized_payload> payloads;
    };
    struct Reply {
        std::uint8_t return_code;
        Payload_buffer payload;
    };
    // The reply of one delivered request; the first answer counts.
    class Reply_slot {
    public:
        // The reply, or nothing when none came within the time-out.
        std::optional<Reply> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
            if (reply_.wait_for(timeout) != std::future_status::ready) return std::nullopt;
            return reply_.get();
        }
        bool answered() const { return wait(std::chrono::milliseconds(0)).has_value(); }

    private:
        friend class Fake_transport;
        std::promise<Reply> promise_;
        std::once_flag once_;
        std::shared_future<Reply> reply_ = promise_.get_future().share();
    };

    void add_remote_instance(const Service_info& service) { set_remote(service, true); }
    void remove_remote_instance(const Service_info& service) { set_remote(service, false); }
    std::vector<Request> requests() const {
        Lock lock(mutex_);
        return requests_;
    }
    // Answers request number index (0 = first); false when there is no such
    // request or it was answered already.
    bool reply(std::size_t index, std::uint8_t return_code, Payload_buffer payload = {});
    // Forgets the response handler of a request without calling it.
    bool drop(std::size_t index) { return take_handler(index).has_value(); }
    bool is_offered(const Service_info& service) const {
        Lock lock(mutex_);
        return offered_.count(service) != 0;
    }
    // Empty reply function when expect_reply is false.
    std::shared_ptr<const Reply_slot> deliver_request(const Service_info& service, std::uint16_t method_id,
                                                      Payload_buffer payload, bool expect_reply = true,
                                                      std::uint16_t method_call_id = 1);
    std::vector<Sent_event> events() const {
        Lock lock(mutex_);
        return events_;
    }

    void set_availability_handler(Availability_handler handler) override {
        Lock lock(mutex_);
        availability_ = std::move(handler);
    }
    void offer(const Service_info& service, const connector::Service_interface_description&,
               std::shared_ptr<Request_handler> handler) override {
        Lock lock(mutex_);
        offered_[service] = std::move(handler);
    }
    void stop_offer(const Service_info& service) override;
    std::vector<Service_info> find(const tq::com::runtime::Service_id& service,
                                   const tq::com::runtime::Instance_id& instance) override {
        const Service_info wanted{service, instance};
        return is_available(wanted) ? std::vector<Service_info>{wanted} : std::vector<Service_info>{};
    }
    bool is_available(const Service_info& service) override {
        Lock lock(mutex_);
        return remote_.count(service) != 0;
    }
    void send_request(const Service_info& service, std::uint16_t method_id, std::uint16_t,
                      Serialized_payload request, Response_handler handler) override {
        Lock lock(mutex_);
        requests_.push_back(Request{service, method_id, request.payload()});
        handlers_.emplace_back(std::move(handler));
    }
    void send_event(const Service_info& service, std::uint16_t event_id,
                    const std::vector<Serialized_payload>& payloads) override {
        Lock lock(mutex_);
        events_.push_back(Sent_event{service, event_id, payloads});
    }
    std::uint64_t subscribe(const Service_info&, std::uint16_t, Event_handler) override { return 1; }
    void unsubscribe(std::uint64_t) override {}

private:
    void set_remote(const Service_info& service, bool available);
    // The response handler of a request, taken out; nothing when there is none.
    std::optional<Response_handler> take_handler(std::size_t index);

    mutable std::mutex mutex_;
    Availability_handler availability_;
    std::set<Service_info> remote_;
    std::map<Service_info, std::shared_ptr<Request_handler>> offered_;
    std::vector<Request> requests_;
    std::vector<std::optional<Response_handler>> handlers_;
    std::vector<Sent_event> events_;
};

}  // namespace rk::com::runtime
