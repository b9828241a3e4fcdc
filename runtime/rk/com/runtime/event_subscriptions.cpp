#include "rk/com/runtime/event_subscriptions.h"

#include "rk/com/runtime/runtime_logger.h"

#include <vector>

namespace rk::com::runtime {

namespace {

// The subscription whose handler this thread is in, so that a handler
// unsubscribing itself does not wait for itself.
thread_local std::uint64_t current_subscription = 0;

}  // namespace

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
    const auto delivering = found->second.delivering;
    entries_.erase(found);
    const int own = current_subscription == id ? 1 : 0;
    delivered_.wait(lock, [&] { return *delivering <= own; });
    return removed;
}

std::size_t Event_subscriptions::deliver(const cpp_binding::Service_info& service,
                                         std::uint16_t event_id,
                                         const tq::com::runtime::Serialized_payload& payload) {
    struct Receiver {
        std::uint64_t id;
        std::shared_ptr<Event_handler> handler;
        std::shared_ptr<int> delivering;
    };
    std::vector<Receiver> receivers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : entries_) {
            if (!(entry.second.service == service) || entry.second.event_id != event_id) continue;
            ++*entry.second.delivering;
            receivers.push_back(
                Receiver{entry.first, entry.second.handler, entry.second.delivering});
        }
    }
    for (const auto& receiver : receivers) {
        const auto outer = current_subscription;
        current_subscription = receiver.id;
        try {
            (*receiver.handler)(payload);
        } catch (const std::exception& error) {
            runtime_logger().LogError() << "Event handler failed:" << error.what();
        } catch (...) {
            runtime_logger().LogError() << "Event handler failed";
        }
        current_subscription = outer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --*receiver.delivering;
        }
        delivered_.notify_all();
    }
    return receivers.size();
}

}  // namespace rk::com::runtime
