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
// - a peer whose reboot flag goes from 0 to 1, or stays 1 while its session
//   id does not grow (per sender address and channel), has restarted: its
//   offers expire at once and its subscriptions are dropped.
#pragma once

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

// An IPv4 address and UDP port, both in host byte order.
struct Address {
    std::uint32_t ip{0};
    std::uint16_t port{0};

    friend bool operator==(const Address& a, const Address& b) { return a.ip == b.ip && a.port == b.port; }
    friend bool operator!=(const Address& a, const Address& b) { return !(a == b); }
    friend bool operator<(const Address& a, const Address& b) {
        return std::tie(a.ip, a.port) < std::tie(b.ip, b.port);
    }
};

// "a.b.c.d:port"
std::string to_text(const Address& address);
// Throws std::invalid_argument for a text that is no IPv4 address.
Address parse_address(const std::string& ip, std::uint16_t port);

// A service instance by its ids on the wire.
struct Instance_key {
    std::uint16_t service{0};
    std::uint16_t instance{0};

    friend bool operator==(const Instance_key& a, const Instance_key& b) {
        return a.service == b.service && a.instance == b.instance;
    }
    friend bool operator<(const Instance_key& a, const Instance_key& b) {
        return std::tie(a.service, a.instance) < std::tie(b.service, b.instance);
    }
};

class Service_discovery {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    struct Config {
        // This process's discovery endpoint: its unicast address and the SD port.
        Address self;
        // The multicast group (and SD port); none when discovery is unicast only.
        std::optional<Address> group;
        // Discovery endpoints that get every offer and find by unicast as well.
        std::vector<Address> peers;
        std::chrono::milliseconds initial_delay_min{10};
        std::chrono::milliseconds initial_delay_max{100};
        std::chrono::milliseconds repetition_base_delay{30};
        std::uint32_t repetitions_max{3};
        std::chrono::milliseconds cyclic_offer_delay{1000};
        // Seconds; sd::ttl_forever means until the next reboot.
        std::uint32_t offer_ttl{3};
        std::uint32_t subscription_ttl{3};
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
    // What the transport is to do after a call.
    struct Actions {
        std::vector<Datagram> datagrams;
        std::vector<Availability_change> changes;
        // Things worth a warning in the log (a refused subscription, a peer's restart).
        std::vector<std::string> notes;

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
    Actions stop_offer(Instance_key key);
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
    std::size_t tracked_peers() const noexcept { return received_.size(); }

private:
    struct Offer_state {
        Local_offer offer;
        Time next_send{};
        std::uint32_t repetitions{0};
        bool cyclic{false};
    };
    struct Learned_offer {
        Address endpoint;
        // The discovery endpoint that offered it.
        Address origin;
        Time expires{};
    };
    struct Subscriber_key {
        Instance_key instance;
        std::uint16_t eventgroup{0};
        Address receiver;

        friend bool operator<(const Subscriber_key& a, const Subscriber_key& b) {
            return std::tie(a.instance, a.eventgroup, a.receiver) < std::tie(b.instance, b.eventgroup, b.receiver);
        }
    };
    struct Subscriber {
        Time expires{};
        // The discovery address of the peer that subscribed.
        std::uint32_t origin_ip{0};
    };
    struct Received {
        std::uint16_t session{0};
        bool reboot{false};
    };

    bool rebooted(Address sender, bool via_multicast, std::uint16_t session, bool reboot_flag);
    void forget_peer(std::uint32_t ip, Actions& actions);
    void answer_find(const sd::Entry& entry, sd::Message& answer) const;
    void learn_offer(const sd::Message& message, const sd::Entry& entry, Address sender, Time now, Actions& actions);
    void answer_subscribe(const sd::Message& message, const sd::Entry& entry, Address sender, Time now,
                          sd::Message& answer);
    void add_offer_entry(sd::Message& message, const Local_offer& offer, std::uint32_t ttl) const;
    sd::Message subscribe_message(Instance_key key, std::uint16_t eventgroup, Address receiver,
                                  std::uint32_t ttl) const;
    void to_everyone(sd::Message message, Actions& actions);
    void to_one(sd::Message message, Address to, Actions& actions);
    Time expiry(Time now, std::uint32_t ttl) const;

    Config config_;
    std::minstd_rand random_;
    std::map<Instance_key, Offer_state> offers_;
    std::map<Subscriber_key, Subscriber> subscribers_;
    std::map<Instance_key, Learned_offer> learned_;
    // This process's subscriptions: eventgroup and where its notifications go.
    std::map<std::pair<Instance_key, std::uint16_t>, Address> subscriptions_;
    std::map<Instance_key, Time> last_find_;
    sd::Session multicast_session_;
    std::map<std::uint32_t, sd::Session> unicast_sessions_;
    std::map<std::pair<std::uint32_t, bool>, Received> received_;
};

}  // namespace rk::com::runtime::someip
