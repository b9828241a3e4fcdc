#include "rk/com/runtime/event_subscriptions.h"

#include "rk/com/runtime/runtime_logger.h"

#include <vector>

namespace rk::com::runtime {

std::uint64_t Event_subscriptions::add(const cpp_binding::Service_info& service,
                                       std::uint16_t event_id, Event_handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto id = next_id_++;
    entries_.emplace(id,
                     Entry{service, event_id, std::make_shared<Event_handler>(std::move(handler))});
    return id;
}

std::optional<Event_subscriptions::Subscription> Event_subscriptions::remove(std::uint64_t id) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = entries_.find(id);
    if (found == entries_.end()) return std::nullopt;
    Subscription removed{found->second.service, found->second.event_id};
    const auto gate = found->second.gate;
    entries_.erase(found);
    lock.unlock();
    // A handler unsubscribing itself does not wait for itself.
    gate->close();
    return removed;
}

std::size_t Event_subscriptions::deliver(const cpp_binding::Service_info& service,
                                         std::uint16_t event_id,
                                         const tq::com::runtime::Serialized_payload& payload) {
    std::vector<Entry> receivers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : entries_) {
            if (entry.second.service == service && entry.second.event_id == event_id)
                receivers.push_back(entry.second);
        }
    }
    std::size_t delivered = 0;
    for (const auto& receiver : receivers) {
        wardex::base::In_flight_gate::Pass pass(*receiver.gate);
        if (!pass) continue;
        ++delivered;
        try {
            (*receiver.handler)(payload);
        } catch (const std::exception& error) {
            runtime_logger().LogError() << "Event handler failed:" << error.what();
        } catch (...) {
            runtime_logger().LogError() << "Event handler failed";
        }
    }
    return delivered;
}

}  // namespace rk::com::runtime
