// Test double of the transport: plays the remote side of required ports and
// the remote clients of provided ports.
//
// - Requests sent through an Rport are recorded; the test answers any of them
//   with any return code, from any thread, and the response handler runs in
//   the answering thread.
// - Instances added with add_remote_instance are found and available.
// - deliver_request hands a request to a service offered in this process and
//   collects its reply.
// - Events sent by provided ports are recorded; deliver_event reaches the
//   subscribers of required ports.
#pragma once

#include "rk/com/runtime/transport.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace rk::com::runtime {

class Fake_transport final : public Transport {
public:
    struct Request {
        cpp_binding::Service_info service;
        std::uint16_t method_id;
        std::uint16_t method_call_id;
        tq::com::runtime::Payload_buffer payload;
    };
    struct Sent_event {
        cpp_binding::Service_info service;
        std::uint16_t event_id;
        std::vector<tq::com::runtime::Serialized_payload> payloads;
    };
    struct Reply {
        std::uint8_t return_code;
        tq::com::runtime::Payload_buffer payload;
    };
    // Collects the reply of one delivered request.
    class Reply_slot {
    public:
        // The reply, or nothing when none came within the time-out.
        std::optional<Reply> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
        bool answered() const;

    private:
        friend class Fake_transport;
        mutable std::mutex mutex_;
        mutable std::condition_variable changed_;
        std::optional<Reply> reply_;
    };

    void add_remote_instance(const cpp_binding::Service_info& service);
    void remove_remote_instance(const cpp_binding::Service_info& service);

    std::vector<Request> requests() const;
    bool wait_for_requests(std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Answers request number index (0 = first); false when there is no such
    // request or it was answered already.
    bool reply(std::size_t index, std::uint8_t return_code,
               tq::com::runtime::Payload_buffer payload = {});
    // Forgets the response handler of a request without calling it.
    bool drop(std::size_t index);

    bool is_offered(const cpp_binding::Service_info& service) const;
    // Empty reply function when expect_reply is false.
    std::shared_ptr<const Reply_slot> deliver_request(const cpp_binding::Service_info& service,
                                                      std::uint16_t method_id,
                                                      tq::com::runtime::Payload_buffer payload,
                                                      bool expect_reply = true,
                                                      std::uint16_t method_call_id = 1);

    std::vector<Sent_event> events() const;
    bool wait_for_events(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void deliver_event(const cpp_binding::Service_info& service, std::uint16_t event_id,
                       tq::com::runtime::Payload_buffer payload);

    void set_availability_handler(Availability_handler handler) override;
    void offer(const cpp_binding::Service_info& service,
               const connector::Service_interface_description& description,
               std::shared_ptr<Request_handler> handler) override;
    void stop_offer(const cpp_binding::Service_info& service) override;
    std::vector<cpp_binding::Service_info> find(const tq::com::runtime::Service_id& service,
                                                const tq::com::runtime::Instance_id& instance) override;
    bool is_available(const cpp_binding::Service_info& service) override;
    void send_request(const cpp_binding::Service_info& service, std::uint16_t method_id,
                      std::uint16_t method_call_id, tq::com::runtime::Serialized_payload request,
                      Response_handler handler) override;
    void send_event(const cpp_binding::Service_info& service, std::uint16_t event_id,
                    const std::vector<tq::com::runtime::Serialized_payload>& payloads) override;
    std::uint64_t subscribe(const cpp_binding::Service_info& service, std::uint16_t event_id,
                            Event_handler handler) override;
    void unsubscribe(std::uint64_t subscription) override;

private:
    void notify_availability(const cpp_binding::Service_info& service, bool available);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Availability_handler availability_;
    std::set<cpp_binding::Service_info> remote_;
    std::map<cpp_binding::Service_info, std::shared_ptr<Request_handler>> offered_;
    std::vector<Request> requests_;
    std::vector<std::optional<Response_handler>> handlers_;
    std::vector<Sent_event> events_;
    struct Subscription {
        cpp_binding::Service_info service;
        std::uint16_t event_id;
        Event_handler handler;
    };
    std::map<std::uint64_t, Subscription> subscriptions_;
    std::uint64_t next_subscription_{1};
};

}  // namespace rk::com::runtime
