// What service discovery keeps per peer discovery endpoint (address and SD
// port): the session counter of the unicast messages sent to it, per channel
// (group or unicast) the last session id and reboot flag received from it,
// to tell when it restarted, and how many answers to its finds it may still
// draw (a few at once, then some per second), so that nobody can use this
// process as an amplifier. A peer's state goes once it has been silent for
// the peer time-out and nothing of it is live any more. The table holds at
// most a bounded number of peers; when it is full, only a peer that has
// nothing live and has never been written to makes room for a newcomer
// (the one heard from longest ago). A peer with live offers or subscriptions,
// or one whose session counter is in use, is never forgotten for a newcomer:
// its counter would start again at 1 with the reboot flag, and the peer
// would take this process for restarted. A newcomer that finds no room is
// not tracked (and so not heard).
#pragma once

#include "rk/com/runtime/someip/sd_types.h"
#include "rk/com/runtime/someip/wire.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>

namespace rk::com::runtime::someip {

class Sd_peers {
public:
    using Time = std::chrono::steady_clock::time_point;
    // Whether anything of a peer is live (offers or subscriptions).
    using Live = std::function<bool(Address)>;

    Sd_peers(std::size_t limit, std::chrono::seconds timeout) : limit_(limit), timeout_(timeout) {}

    // Each call below returns nothing (and sets full) when the peer is not
    // tracked and the table has no room for it.

    // Records a message from peer; true when it shows that the peer restarted.
    std::optional<bool> received(Address peer, bool via_multicast, std::uint16_t session, bool reboot_flag,
                                 Time now, const Live& live, bool& full);
    // The session id and reboot flag of the next unicast message to peer.
    std::optional<sd::Session::Next> next_session(Address peer, Time now, const Live& live, bool& full);
    // Whether a find from peer may be answered now; takes one answer when so.
    bool may_answer(Address peer, Time now);
    // Forgets the peers silent for the time-out for which live(peer) is false.
    void expire(Time now, const Live& live);
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
        bool written{false};
        Channel multicast;
        Channel unicast;
        Time last_heard{};
        // When the peer is next looked at for expiry.
        Time recheck{};
        double answers{0};
        Time answers_counted{};
    };
    Peer* peer(Address address, Time now, const Live& live, bool& full);

    const std::size_t limit_;
    const std::chrono::seconds timeout_;
    std::unordered_map<Address, Peer, Address_hash> peers_;
};

}  // namespace rk::com::runtime::someip
