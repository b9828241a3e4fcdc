// Service discovery (SOME/IP-SD) of one process, as a state machine with no
// sockets, threads or clock of its own. It is told what this process offers
// and wants, fed the discovery messages that arrive with their sender and
// the time, and answers with the datagrams to send, the instances of other
// processes that appeared or went, and when it next has something to do.
// The transport calls it under its own lock.
//
// What it follows, as standard SOME/IP stacks expect:
// - offers go through an initial wait, repetitions and the cyclic phase; a
//   FindService is answered with one offer per matching instance, and a
//   SubscribeEventgroup with an Ack or Nack, both to the sender;
// - session ids count from 1 per channel (one for multicast, one per unicast
//   peer address) and wrap from 0xFFFF to 1; the reboot flag is set until
//   that channel's first wrap;
// - discovery messages count only when they come from the SD port (or a
//   configured peer's endpoint); others are ignored;
// - a peer whose reboot flag goes from 0 to 1, or stays 1 while its session
//   id does not grow (per peer endpoint and channel), has restarted: its
//   offers expire at once and its subscriptions are dropped.
// And what keeps it from being abused: a subscription names an endpoint on
// its sender's address and only that address ends it, its TTL is capped,
// subscribers per eventgroup (and per address in it) and tracked peers are
// bounded without ever pushing out a live one, an offer is replaced or
// withdrawn only by its sender and names an endpoint on the sender's
// address, a find is answered with one offer per instance and a peer draws
// only a few answers a second.
#pragma once

#include "rk/com/runtime/someip/sd_peers.h"
#include "rk/com/runtime/someip/sd_subscribers.h"
#include "rk/com/runtime/someip/sd_types.h"
#include "rk/com/runtime/someip/wire.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace rk::com::runtime::someip {

class Service_discovery {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    struct Config : Discovery_timing {
        // This process's discovery endpoint: its unicast address and the SD port.
        Address self;
        // The multicast group (and SD port); none when discovery is unicast only.
        std::optional<Address> group;
        // Discovery endpoints that get every offer and find by unicast as well.
        std::vector<Address> peers;
        // The services this process may use: service id -> major version.
        std::map<std::uint16_t, std::uint8_t> known_services;
    };

    struct Datagram {
        Address to;
        std::vector<std::uint8_t> bytes;
    };
    struct Availability_change {
        Instance_key instance;
        bool available;
    };
    // Something worth a warning in the log (a refused subscription, a peer's
    // restart): what kind of thing, the peer that caused it (empty: none in
    // particular) and the text. Others' input causes them, so the kind and
    // peer let the log bound how often each is written.
    struct Note {
        std::string kind;
        std::string peer;
        std::string text;
    };
    // What the transport is to do after a call.
    struct Actions {
        std::vector<Datagram> datagrams;
        std::vector<Availability_change> changes;
        std::vector<Note> notes;

        void append(Actions&& other);
    };

    // An instance this process offers.
    struct Local_offer {
        Instance_key key;
        std::uint8_t major_version{0};
        std::uint32_t minor_version{0};
        // Where its requests go and its events come from.
        Address endpoint;
        std::vector<std::uint16_t> eventgroups;
    };

    Service_discovery(Config config, std::uint32_t seed);

    const Config& config() const noexcept { return config_; }

    // --- this process's instances ---
    // Announced after the initial wait; an offer of the same instance is replaced.
    void offer(const Local_offer& offer, Time now);
    // A StopOffer to everyone; the instance's subscribers are dropped.
    Actions stop_offer(Instance_key key, Time now);
    // The live subscribers of an eventgroup: where its notifications go.
    std::vector<Address> subscribers(Instance_key key, std::uint16_t eventgroup, Time now) const;

    // --- other processes' instances ---
    // A FindService to everyone, at most once per initial_delay_max per instance.
    Actions find(Instance_key key, Time now);
    // Subscribes to an eventgroup with notifications going to receiver; sent
    // at once when the instance is offered, and renewed with every offer.
    Actions subscribe(Instance_key key, std::uint16_t eventgroup, Address receiver, Time now);
    // A StopSubscribe when the instance is offered.
    Actions unsubscribe(Instance_key key, std::uint16_t eventgroup, Time now);
    // Where calls to the instance go while its offer lives.
    std::optional<Address> endpoint_of(Instance_key key, Time now) const;

    // --- input ---
    // A discovery message from sender; via_multicast when it came to the group.
    Actions on_message(const sd::Message& message, std::uint16_t session_id, Address sender, bool via_multicast,
                       Time now);
    // Sends the offers that are due and drops what ran out.
    Actions on_timer(Time now);
    // When on_timer next has something to do (Time::max() for never).
    Time next_deadline() const;

    // Peers whose session state is kept.
    std::size_t tracked_peers() const noexcept { return peers_.size(); }

private:
    struct Offer_state {
        Local_offer offer;
        Time next_send{};
        std::uint32_t repetitions{0};
        bool cyclic{false};

        // After a send: the repetitions (base × 2^k apart), then the cyclic phase.
        void schedule_next(Time now, const Config& config);
    };
    struct Learned_offer {
        Address endpoint;
        // The discovery endpoint that offered it.
        Address origin;
        Time expires{};
    };
    bool peer_is_live(Address peer) const;
    Sd_peers::Live live() const;
    void note_peers_full(bool full, Actions& actions) const;
    void forget_peer(Address peer, Actions& actions);
    // Whether the message's entries are to be handled: it comes from a
    // discovery participant other than us that the peer table tracks. A peer
    // that restarted loses its offers and subscriptions first.
    bool admit_sender(const sd::Message& message, std::uint16_t session_id, Address sender, bool via_multicast,
                      Time now, Actions& actions);
    // Handles each entry in turn and sends the answers the finds and
    // subscriptions drew.
    void handle_entries(const sd::Message& message, Address sender, Time now, Actions& actions);
    void answer_find(const sd::Entry& entry, sd::Message& answer) const;
    void learn_offer(const sd::Message& message, const sd::Entry& entry, Address sender, Time now, Actions& actions);
    void answer_subscribe(const sd::Message& message, const sd::Entry& entry, Address sender, Time now,
                          sd::Message& answer, Actions& actions);
    void join_cycle(Instance_key key, Time now);
    // The major version of a service this process may use (0xFF: any).
    std::uint8_t major_of(std::uint16_t service) const;
    void to_everyone(sd::Message message, Time now, Actions& actions);
    void to_one(sd::Message message, Address to, Time now, Actions& actions);
    Time expiry(Time now, std::uint32_t ttl) const;

    Config config_;
    std::minstd_rand random_;
    std::map<Instance_key, Offer_state> offers_;
    Sd_subscribers subscribers_;
    std::map<Instance_key, Learned_offer> learned_;
    // This process's subscriptions: eventgroup and where its notifications go.
    std::map<std::pair<Instance_key, std::uint16_t>, Address> subscriptions_;
    std::map<Instance_key, Time> last_find_;
    sd::Session multicast_session_;
    Sd_peers peers_;
};

}  // namespace rk::com::runtime::someip
