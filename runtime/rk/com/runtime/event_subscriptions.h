// Event subscriptions of this process's required ports: who gets the events
// of an instance. Delivery runs with no lock held; once remove returns, the
// handler is not called any more (unless the caller is that handler).
#pragma once

#include "rk/com/runtime/transport.h"
#include "wardex/base/in_flight_gate.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace rk::com::runtime {

class Event_subscriptions {
public:
    struct Subscription {
        cpp_binding::Service_info service;
        std::uint16_t event_id;
    };

    std::uint64_t add(const cpp_binding::Service_info& service, std::uint16_t event_id, Event_handler handler);
    // What was removed, or nothing for an unknown id.
    std::optional<Subscription> remove(std::uint64_t id);
    // Whether another subscription to an event of the instance is left for which keep(event_id) holds.
    template <typename Predicate>
    bool any(const cpp_binding::Service_info& service, Predicate keep) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : entries_) {
            if (entry.second.service == service && keep(entry.second.event_id)) return true;
        }
        return false;
    }
    // Hands payload to every subscriber of the event, in this thread; returns
    // how many got it (one removed meanwhile, by a handler before it, does not).
    std::size_t deliver(const cpp_binding::Service_info& service, std::uint16_t event_id,
                        const tq::com::runtime::Serialized_payload& payload);

private:
    struct Entry {
        cpp_binding::Service_info service;
        std::uint16_t event_id;
        std::shared_ptr<Event_handler> handler;
        // Closed by remove, which waits for the deliveries running.
        std::shared_ptr<wardex::base::In_flight_gate> gate = std::make_shared<wardex::base::In_flight_gate>();
    };

    mutable std::mutex mutex_;
    std::map<std::uint64_t, Entry> entries_;
    std::uint64_t next_id_{1};
};

}  // namespace rk::com::runtime
