#include "rk/com/runtime/someip/sd_peers.h"

#include <algorithm>

namespace rk::com::runtime::someip {

Sd_peers::Peer* Sd_peers::peer(Address address, Time now, const Live& live, bool& full) {
    full = false;
    auto found = peers_.find(address);
    if (found != peers_.end()) return &found->second;
    if (limit_ > 0 && peers_.size() >= limit_) {
        // Only a peer nobody would miss makes room: nothing live, never written to.
        auto oldest = peers_.end();
        for (auto it = peers_.begin(); it != peers_.end(); ++it) {
            if (it->second.written || live(it->first)) continue;
            if (oldest == peers_.end() || it->second.last_heard < oldest->second.last_heard) oldest = it;
        }
        full = true;
        if (oldest == peers_.end()) return nullptr;
        peers_.erase(oldest);
    }
    Peer& created = peers_[address];
    created.last_heard = now;
    created.recheck = now + timeout_;
    return &created;
}

std::optional<bool> Sd_peers::received(Address address, bool via_multicast, std::uint16_t session,
                                       bool reboot_flag, Time now, const Live& live, bool& full) {
    Peer* state = peer(address, now, live, full);
    if (state == nullptr) return std::nullopt;
    state->last_heard = now;
    state->recheck = now + timeout_;
    Channel& channel = via_multicast ? state->multicast : state->unicast;
    // The reboot flag going from 0 to 1, or staying 1 while the session does not grow.
    const bool restarted =
        channel.seen && reboot_flag && (!channel.reboot || session <= channel.session);
    channel = Channel{true, session, reboot_flag};
    return restarted;
}

std::optional<sd::Session::Next> Sd_peers::next_session(Address address, Time now, const Live& live,
                                                        bool& full) {
    Peer* state = peer(address, now, live, full);
    if (state == nullptr) return std::nullopt;
    state->written = true;
    return state->sent.next();
}

bool Sd_peers::may_answer(Address address, Time now) {
    constexpr double burst = 4;
    constexpr double per_second = 10;
    auto found = peers_.find(address);
    if (found == peers_.end()) return false;
    Peer& state = found->second;
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

void Sd_peers::expire(Time now, const Live& live) {
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
