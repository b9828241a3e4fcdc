// The transport in front of every other: services offered by this process
// are found and called in-process; everything else goes to the network
// transport behind it (none: this process only).
//
// In-process requests are handed to the provider, and replies to the
// caller, on this transport's own threads, never inside send_request; a
// request for an instance offered nowhere, or withdrawn before it was handed
// over, is answered 0xFF. A reply given after this transport was destroyed
// still reaches the caller, in the replying thread. Events reach in-process
// subscribers in the sending thread, in the order sent, and the network's
// subscribers through the network transport.
#pragma once

#include "rk/com/runtime/delivery_threads.h"
#include "rk/com/runtime/event_subscriptions.h"
#include "rk/com/runtime/transport.h"

#include <map>
#include <mutex>
#include <optional>

namespace rk::com::runtime {

class Local_transport final : public Transport {
public:
    explicit Local_transport(std::shared_ptr<Transport> network = nullptr, std::uint32_t delivery_threads = 2);
    ~Local_transport() override;

    // The transport behind this one; null when there is none.
    const std::shared_ptr<Transport>& network() const noexcept { return network_; }

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
    // The instances offered here; shared with tasks still queued on the
    // delivery threads and with the network's availability handler.
    class Offers {
    public:
        std::shared_ptr<Request_handler> provider(const cpp_binding::Service_info& service) const;
        void set_availability_handler(Availability_handler handler);
        // Adds or replaces an offer; returns the availability handler to tell.
        Availability_handler add(const cpp_binding::Service_info& service, std::shared_ptr<Request_handler> handler);
        // Withdraws an offer; nothing when there was none, else the handler to tell.
        std::optional<Availability_handler> remove(const cpp_binding::Service_info& service);
        std::optional<cpp_binding::Service_info> find(const tq::com::runtime::Service_id& service,
                                                      const tq::com::runtime::Instance_id& instance) const;
        // In-process subscription id -> the network's subscription id.
        void link(std::uint64_t subscription, std::uint64_t network);
        std::optional<std::uint64_t> unlink(std::uint64_t subscription);

    private:
        mutable std::mutex mutex_;
        Availability_handler availability_;
        std::map<cpp_binding::Service_info, std::shared_ptr<Request_handler>> offered_;
        std::map<std::uint64_t, std::uint64_t> network_subscriptions_;
    };

    const std::shared_ptr<Transport> network_;
    const std::shared_ptr<Offers> offers_ = std::make_shared<Offers>();
    Event_subscriptions subscriptions_;
    // Started with the first in-process request: a process whose services
    // are all called from outside never needs it.
    Delivery_threads delivery_;
};

}  // namespace rk::com::runtime
