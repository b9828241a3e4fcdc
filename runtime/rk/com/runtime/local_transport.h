// In-process transport: services offered by this process are found and
// called from this process. Requests are handed to the provider and replies
// to the caller on the transport's own threads; events reach the subscribers
// in the sending thread, in the order sent.
#pragma once

#include "rk/com/runtime/transport.h"
#include "rk/com/static_thread_pool.h"

#include <map>
#include <mutex>

namespace rk::com::runtime {

class Local_transport final : public Transport {
public:
    explicit Local_transport(std::uint32_t delivery_threads = 2);
    ~Local_transport() override;

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
    struct Subscription {
        cpp_binding::Service_info service;
        std::uint16_t event_id;
        std::shared_ptr<Event_handler> handler;
    };

    std::shared_ptr<static_thread_pool> delivery_;
    mutable std::mutex mutex_;
    Availability_handler availability_;
    std::map<cpp_binding::Service_info, std::shared_ptr<Request_handler>> offered_;
    std::map<std::uint64_t, Subscription> subscriptions_;
    std::uint64_t next_subscription_{1};
};

}  // namespace rk::com::runtime
