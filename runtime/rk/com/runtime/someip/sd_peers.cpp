#include "rk/com/runtime/someip/sd_peers.h"

#include <algorithm>

namespace rk::com::runtime::someip {

Sd_peers::Peer& Sd_peers::peer(std::uint32_t ip, Time now, bool& full) {
    full = false;
    auto found = peers_.find(ip);
    if (found != peers_.end()) return found->second;
    if (limit_ > 0 && peers_.size() >= limit_) {
        // Only when the bound is hit: the peer heard from longest ago goes.
        auto oldest = std::min_element(
            peers_.begin(), peers_.end(),
            [](const auto& a, const auto& b) { return a.second.last_heard < b.second.last_heard; });
        peers_.erase(oldest);
        full = true;
    }
    Peer& created = peers_[ip];
    created.last_heard = now;
    created.recheck = now + timeout_;
    return created;
}

bool Sd_peers::received(std::uint32_t ip, bool via_multicast, std::uint16_t session,
                        bool reboot_flag, Time now, bool& full) {
    Peer& state = peer(ip, now, full);
    state.last_heard = now;
    state.recheck = now + timeout_;
    Channel& channel = via_multicast ? state.multicast : state.unicast;
    // The reboot flag going from 0 to 1, or staying 1 while the session does not grow.
    const bool restarted =
        channel.seen && reboot_flag && (!channel.reboot || session <= channel.session);
    channel = Channel{true, session, reboot_flag};
    return restarted;
}

sd::Session::Next Sd_peers::next_session(std::uint32_t ip, Time now, bool& full) {
    return peer(ip, now, full).sent.next();
}

bool Sd_peers::may_answer(std::uint32_t ip, Time now, bool& full) {
    constexpr double burst = 4;
    constexpr double per_second = 10;
    Peer& state = peer(ip, now, full);
    if (state.answers_counted == Time{}) {
        state.answers = burst;
    } else {
        const double elapsed = std::chrono::duration<double>(now - state.answers_counted).count();
        state.answers = std::min(burst, state.answers + elapsed * per_second);
    }
    state.answers_counted = now;
    if (state.answers < 1) return false;
    state.answers -= 1;
    return true;
}

void Sd_peers::expire(Time now, const std::function<bool(std::uint32_t)>& live) {
    for (auto it = peers_.begin(); it != peers_.end();) {
        if (it->second.recheck > now) {
            ++it;
        } else if (live(it->first)) {
            it->second.recheck = now + timeout_;
            ++it;
        } else {
            it = peers_.erase(it);
        }
    }
}

Sd_peers::Time Sd_peers::next_expiry() const {
    auto due = Time::max();
    for (const auto& entry : peers_) due = std::min(due, entry.second.recheck);
    return due;
}

}  // namespace rk::com::runtime::someip
