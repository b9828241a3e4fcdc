#include "rk/com/runtime/someip/call_table.h"

namespace rk::com::runtime::someip {

bool Call_table::waiting(const Ticket& ticket) const {
    auto found = pending_.find(ticket.session);
    return found != pending_.end() && found->second.serial == ticket.serial;
}

std::optional<Call_table::Ticket> Call_table::add(std::uint16_t service_id, std::uint16_t method_id,
                                                  Response_handler& handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint16_t session = next_session_;
    next_session_ = session == 0xFFFF ? 1 : static_cast<std::uint16_t>(session + 1);
    if (pending_.count(session) != 0) return std::nullopt;
    while (!deadlines_.empty() && !waiting(deadlines_.front().ticket)) deadlines_.pop_front();
    const Ticket ticket{session, next_serial_++, deadlines_.empty()};
    pending_.emplace(session, Pending{ticket.serial, service_id, method_id, std::move(handler)});
    deadlines_.push_back(Deadline{Clock::now() + timeout_, ticket});
    return ticket;
}

Response_handler Call_table::complete(std::uint16_t session, std::uint16_t service_id,
                                      std::uint16_t method_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = pending_.find(session);
    if (found == pending_.end() || found->second.service_id != service_id ||
        found->second.method_id != method_id) {
        return {};
    }
    auto handler = std::move(found->second.handler);
    pending_.erase(found);
    return handler;
}

Response_handler Call_table::cancel(const Ticket& ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!waiting(ticket)) return {};
    auto found = pending_.find(ticket.session);
    auto handler = std::move(found->second.handler);
    pending_.erase(found);
    return handler;
}

std::vector<Response_handler> Call_table::expire(Clock::time_point now) {
    std::vector<Response_handler> expired;
    std::lock_guard<std::mutex> lock(mutex_);
    while (!deadlines_.empty() && deadlines_.front().at <= now) {
        const auto ticket = deadlines_.front().ticket;
        deadlines_.pop_front();
        if (!waiting(ticket)) continue;
        auto found = pending_.find(ticket.session);
        expired.push_back(std::move(found->second.handler));
        pending_.erase(found);
    }
    return expired;
}

Call_table::Clock::time_point Call_table::next_deadline() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Answered calls leave their deadline behind; they wake nobody.
    while (!deadlines_.empty() && !waiting(deadlines_.front().ticket)) deadlines_.pop_front();
    return deadlines_.empty() ? Clock::time_point::max() : deadlines_.front().at;
}

std::vector<Response_handler> Call_table::drop_all() {
    std::vector<Response_handler> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : pending_) dropped.push_back(std::move(entry.second.handler));
    pending_.clear();
    deadlines_.clear();
    return dropped;
}

}  // namespace rk::com::runtime::someip
