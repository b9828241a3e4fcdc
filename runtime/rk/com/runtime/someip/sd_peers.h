// What service discovery keeps per peer address: the session counter of the
// unicast messages sent to it, per channel (group or unicast) the last
// session id and reboot flag received from it, to tell when it restarted,
// and how many answers to its finds it may still draw (a few at once, then
// some per second), so that nobody can use this process as an amplifier.
// A peer's state goes once it has been silent for the peer time-out and
// nothing of it is live any more; the table holds at most a bounded number
// of peers, the one heard from longest ago making room for a new one.
#pragma once

#include "rk/com/runtime/someip/wire.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace rk::com::runtime::someip {

class Sd_peers {
public:
    using Time = std::chrono::steady_clock::time_point;

    Sd_peers(std::size_t limit, std::chrono::seconds timeout) : limit_(limit), timeout_(timeout) {}

    // Records a message from ip; true when it shows that the peer restarted.
    // full tells whether another peer's state had to go to make room.
    bool received(std::uint32_t ip, bool via_multicast, std::uint16_t session, bool reboot_flag, Time now, bool& full);
    // The session id and reboot flag of the next unicast message to ip.
    sd::Session::Next next_session(std::uint32_t ip, Time now, bool& full);
    // Whether a find from ip may be answered now; takes one answer when so.
    bool may_answer(std::uint32_t ip, Time now, bool& full);
    // Forgets the peers silent for the time-out for which live(ip) is false.
    void expire(Time now, const std::function<bool(std::uint32_t)>& live);
    Time next_expiry() const;
    std::size_t size() const noexcept { return peers_.size(); }

private:
    struct Channel {
        bool seen{false};
        std::uint16_t session{0};
        bool reboot{false};
    };
    struct Peer {
        sd::Session sent;
        Channel multicast;
        Channel unicast;
        Time last_heard{};
        // When the peer is next looked at for expiry.
        Time recheck{};
        double answers{0};
        Time answers_counted{};
    };
    Peer& peer(std::uint32_t ip, Time now, bool& full);

    const std::size_t limit_;
    const std::chrono::seconds timeout_;
    std::unordered_map<std::uint32_t, Peer> peers_;
};

}  // namespace rk::com::runtime::someip
