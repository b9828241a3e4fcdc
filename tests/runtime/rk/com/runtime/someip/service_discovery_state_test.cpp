// The discovery state machine on its own, with the time given by the test:
// offer phases, session and reboot counters, TTLs, a peer's restart, and
// the answers to finds and subscriptions.
#include "rk/com/runtime/someip/service_discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

namespace rk::com::runtime::someip {
namespace {

using namespace std::chrono_literals;
using Time = Service_discovery::Time;
using Actions = Service_discovery::Actions;

const Address self{0x7F000001, 30490};
const Address group{0xE0F4E0F5, 30490};
const Address peer{0x7F000003, 30490};
const Address peer_events{0x7F000003, 40000};
const Instance_key monitor{0x0D01, 0x0001};
const Time t0 = Time() + 1h;

Service_discovery::Config config() {
    Service_discovery::Config c;
    c.self = self;
    c.group = group;
    c.initial_delay_min = c.initial_delay_max = 10ms;
    c.repetition_base_delay = 30ms;
    c.repetitions_max = 3;
    c.cyclic_offer_delay = 1000ms;
    c.offer_ttl = 3;
    c.subscription_ttl = 3;
    c.known_services = {{0x0D01, 1}, {0x0401, 1}};
    return c;
}

Service_discovery::Local_offer monitor_offer() {
    return Service_discovery::Local_offer{monitor, 1, 0, Address{0x7F000001, 30501}, {0x0001}};
}

// A sent datagram, decoded.
struct Sent {
    Address to;
    std::uint16_t session;
    std::uint8_t flags;
    std::vector<sd::Entry> entries;
    std::vector<sd::Endpoint> endpoints;
};

std::vector<Sent> decode(const Actions& actions) {
    std::vector<Sent> sent;
    for (const auto& datagram : actions.datagrams) {
        const auto& b = datagram.bytes;
        EXPECT_EQ((std::vector<std::uint8_t>{b[0], b[1], b[2], b[3], b[8], b[9]}),
                  (std::vector<std::uint8_t>{0xFF, 0xFF, 0x81, 0x00, 0, 0})) << "service, method, client id 0";
        const auto parsed = sd::parse(b.data() + 16, b.size() - 16);
        EXPECT_TRUE(parsed.has_value());
        if (!parsed) continue;
        Sent s{datagram.to, static_cast<std::uint16_t>(b[10] << 8 | b[11]), parsed->flags, parsed->entries, {}};
        for (const auto& entry : parsed->entries) {
            for (const auto& endpoint : parsed->endpoints_of(entry)) s.endpoints.push_back(endpoint);
        }
        sent.push_back(s);
    }
    return sent;
}

constexpr std::uint8_t rebooted = sd::flag_reboot | sd::flag_unicast;
const sd::Endpoint at_peer{peer_events.ip, sd::protocol_udp, peer_events.port};

sd::Message message_with(sd::Entry entry, std::optional<sd::Endpoint> endpoint = std::nullopt,
                         std::uint8_t flags = rebooted) {
    sd::Message message;
    message.flags = flags;
    if (endpoint) {
        entry.first_option = sd::add_endpoint(message, *endpoint);
        entry.first_count = 1;
    }
    message.entries.push_back(entry);
    return message;
}

sd::Entry entry(std::uint8_t type, Instance_key key, std::uint32_t ttl, std::uint16_t eventgroup = 0) {
    sd::Entry e;
    e.type = type;
    e.service_id = key.service;
    e.instance_id = key.instance;
    e.major_version = 1;
    e.ttl = ttl;
    e.eventgroup = eventgroup;
    return e;
}

TEST(DiscoveryStateMachine, AnOfferGoesThroughInitialWaitRepetitionsAndTheCyclicPhase) {
    Service_discovery discovery(config(), 1);
    discovery.offer(monitor_offer(), t0);
    EXPECT_TRUE(discovery.on_timer(t0 + 9ms).datagrams.empty()) << "still in the initial wait";

    // Sent at the end of the wait, then after 30, 60 and 120 ms, then every second.
    const std::vector<std::chrono::milliseconds> due = {10ms, 40ms, 100ms, 220ms, 1220ms, 2220ms};
    std::uint16_t session = 1;
    for (const auto at : due) {
        EXPECT_EQ(discovery.next_deadline(), t0 + at);
        const auto sent = decode(discovery.on_timer(t0 + at));
        ASSERT_EQ(sent.size(), 1u) << at.count();
        EXPECT_EQ(sent[0].to, group);
        EXPECT_EQ(sent[0].session, session++);
        EXPECT_EQ(sent[0].flags, rebooted);
        ASSERT_EQ(sent[0].entries.size(), 1u);
        EXPECT_EQ(sent[0].entries[0].type, sd::entry_type::offer_service);
        EXPECT_EQ(sent[0].entries[0].ttl, 3u);
        EXPECT_EQ(sent[0].endpoints, (std::vector<sd::Endpoint>{{0x7F000001, sd::protocol_udp, 30501}}));
    }

    // A second instance joins the cycle once its repetitions are over: one message for both.
    auto did = monitor_offer();
    did.key = Instance_key{0x0401, 0x0001};
    did.endpoint.port = 30502;
    discovery.offer(did, t0 + 2500ms);
    for (const auto at : {2510ms, 2540ms, 2600ms, 2720ms}) {
        EXPECT_EQ(decode(discovery.on_timer(t0 + at)).at(0).entries.size(), 1u) << at.count();
    }
    EXPECT_EQ(discovery.next_deadline(), t0 + 3220ms);
    EXPECT_EQ(decode(discovery.on_timer(t0 + 3220ms)).at(0).entries.size(), 2u);

    // Withdrawn with a stop offer to everyone.
    const auto stop = decode(discovery.stop_offer(monitor, t0 + 3s));
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(stop[0].entries[0].ttl, 0u);
    discovery.stop_offer(did.key, t0 + 3s);
    EXPECT_EQ(discovery.next_deadline(), Time::max());
}

TEST(DiscoveryStateMachine, SessionsCountPerChannelAndTheRebootFlagEndsWithTheFirstWrap) {
    auto c = config();
    c.peers = {Address{0x7F000009, 30490}};
    Service_discovery discovery(c, 1);
    // Each find goes to the group and to the configured peer, on counters of their own.
    Time now = t0;
    for (std::uint32_t n = 1; n <= 0xFFFF; ++n) {
        const auto sent = decode(discovery.find(monitor, now));
        ASSERT_EQ(sent.size(), 2u);
        if (n == 1 || n == 0xFFFF) {
            for (const auto& s : sent) {
                EXPECT_EQ(s.session, n);
                EXPECT_EQ(s.flags, rebooted);
            }
        }
        now += c.initial_delay_max;
    }
    for (const auto& s : decode(discovery.find(monitor, now))) {
        EXPECT_EQ(s.session, 1) << "wrapped past 0xFFFF to 1, never 0";
        EXPECT_EQ(s.flags, sd::flag_unicast) << "no reboot flag after the first wrap";
    }
    // A peer never written to before starts at 1 with the reboot flag.
    discovery.offer(monitor_offer(), now);
    const auto answer =
        decode(discovery.on_message(message_with(entry(sd::entry_type::find_service, monitor, 3)), 1, peer, false, now));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].session, 1);
    EXPECT_EQ(answer[0].flags, rebooted);
    // A find again within the initial delay is not repeated.
    EXPECT_TRUE(discovery.find(monitor, now).datagrams.empty());
}

TEST(DiscoveryStateMachine, AFindIsAnsweredToItsSenderWithOneOfferPerInstance) {
    Service_discovery discovery(config(), 1);
    discovery.offer(monitor_offer(), t0);
    auto specific = entry(sd::entry_type::find_service, monitor, 3);
    auto wildcard = entry(sd::entry_type::find_service, Instance_key{0x0D01, 0xFFFF}, 3);
    wildcard.major_version = 0xFF;
    auto other = entry(sd::entry_type::find_service, Instance_key{0x0401, 0x0001}, 3);
    auto wrong_major = specific;
    wrong_major.major_version = 2;
    auto find = message_with(specific);
    find.entries = {specific, specific, wildcard, other, wrong_major, specific};
    const auto sent = decode(discovery.on_message(find, 1, peer, false, t0));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, peer) << "to the find's source address and port";
    ASSERT_EQ(sent[0].entries.size(), 1u);
    EXPECT_EQ(sent[0].entries[0].type, sd::entry_type::offer_service);
    EXPECT_EQ(sent[0].entries[0].service_id, 0x0D01);

    // Nothing is offered for a find of another service or another instance alone.
    for (const auto& key : {Instance_key{0x0401, 0x0001}, Instance_key{0x0D01, 0x0002}}) {
        const auto find = message_with(entry(sd::entry_type::find_service, key, 3));
        EXPECT_TRUE(discovery.on_message(find, 2, Address{0x7F000009, 30490}, false, t0).datagrams.empty());
    }

    // Our own messages coming back through the group are not answered.
    EXPECT_TRUE(discovery.on_message(find, 2, self, true, t0).datagrams.empty());
}

TEST(DiscoveryStateMachine, SubscriptionsAreAckedOrNackedToTheSenderAndRunOutWithTheirTtl) {
    Service_discovery discovery(config(), 1);
    discovery.offer(monitor_offer(), t0);
    auto unknown_group = entry(sd::entry_type::subscribe_eventgroup, monitor, 5, 0x0002);
    auto wrong_major = entry(sd::entry_type::subscribe_eventgroup, monitor, 5, 0x0001);
    wrong_major.major_version = 2;
    // What is wrong, the subscription, its endpoint, the TTL of the answer.
    const std::vector<std::tuple<const char*, sd::Entry, sd::Endpoint, std::uint32_t>> cases = {
        {"an unknown eventgroup", unknown_group, at_peer, 0},
        {"another major version", wrong_major, at_peer, 0},
        {"an endpoint on another address", entry(sd::entry_type::subscribe_eventgroup, monitor, 5, 1),
         sd::Endpoint{0x0A000001, sd::protocol_udp, 40000}, 0},
        {"an instance not offered", entry(sd::entry_type::subscribe_eventgroup, Instance_key{0x0D01, 2}, 5, 1), at_peer, 0},
        {"a good one", entry(sd::entry_type::subscribe_eventgroup, monitor, 5, 1), at_peer, 5},
    };
    std::uint16_t session = 1;
    for (auto [what, e, endpoint, answered_ttl] : cases) {
        SCOPED_TRACE(what);
        e.counter = 3;
        const auto sent = decode(discovery.on_message(message_with(e, endpoint), session++, peer, false, t0));
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].to, peer);
        ASSERT_EQ(sent[0].entries.size(), 1u);
        const auto& answer = sent[0].entries[0];
        EXPECT_EQ(answer.type, sd::entry_type::subscribe_eventgroup_ack);
        EXPECT_EQ(answer.ttl, answered_ttl);
        EXPECT_EQ(answer.eventgroup, e.eventgroup);
        EXPECT_EQ(answer.counter, 3);
        EXPECT_TRUE(sent[0].endpoints.empty());
    }
    EXPECT_EQ(discovery.subscribers(monitor, 1, t0), std::vector<Address>{peer_events});
    EXPECT_EQ(discovery.next_deadline(), std::min(t0 + 10ms, t0 + 5s));
    EXPECT_EQ(discovery.subscribers(monitor, 1, t0 + 5s), std::vector<Address>{}) << "its TTL ran out";

    // A stop subscribe ends it at once.
    for (const std::uint32_t ttl : {5, 0}) {
        const auto subscribe = message_with(entry(sd::entry_type::subscribe_eventgroup, monitor, ttl, 1), at_peer);
        EXPECT_EQ(discovery.on_message(subscribe, session++, peer, false, t0).datagrams.empty(), ttl == 0);
    }
    EXPECT_TRUE(discovery.subscribers(monitor, 1, t0).empty());
}

TEST(DiscoveryStateMachine, AnOtherProcesssOfferIsAvailableUntilItsTtlOrStopAndCarriesTheSubscription) {
    Service_discovery discovery(config(), 1);
    const Address receiver{0x7F000001, 45000};
    EXPECT_TRUE(discovery.subscribe(monitor, 1, receiver, t0).datagrams.empty()) << "nobody offers yet";
    const sd::Endpoint service{peer.ip, sd::protocol_udp, 30501};

    const auto offer = [&](std::uint32_t ttl, std::uint16_t session, Time now, std::uint8_t major = 1) {
        auto e = entry(sd::entry_type::offer_service, monitor, ttl);
        e.major_version = major;
        return discovery.on_message(message_with(e, service), session, peer, true, now);
    };
    auto actions = offer(3, 1, t0);
    ASSERT_EQ(actions.changes.size(), 1u);
    EXPECT_TRUE(actions.changes[0].available);
    EXPECT_EQ(discovery.endpoint_of(monitor, t0), (Address{peer.ip, 30501}));
    const auto subscribe = decode(actions);
    ASSERT_EQ(subscribe.size(), 1u);
    EXPECT_EQ(subscribe[0].to, peer) << "to the discovery endpoint that offered";
    EXPECT_EQ(subscribe[0].entries[0].type, sd::entry_type::subscribe_eventgroup);
    EXPECT_EQ(subscribe[0].entries[0].eventgroup, 1);
    EXPECT_EQ(subscribe[0].endpoints, (std::vector<sd::Endpoint>{{receiver.ip, sd::protocol_udp, receiver.port}}));

    // Renewed offers keep it; it runs out with the last offer's TTL.
    actions = offer(3, 2, t0 + 1s);
    EXPECT_TRUE(actions.changes.empty());
    EXPECT_EQ(discovery.next_deadline(), t0 + 4s);
    actions = discovery.on_timer(t0 + 4s);
    ASSERT_EQ(actions.changes.size(), 1u);
    EXPECT_FALSE(actions.changes[0].available);
    EXPECT_FALSE(discovery.endpoint_of(monitor, t0 + 4s).has_value());

    // A stop offer ends it at once; offers of unknown services or versions are ignored.
    offer(3, 3, t0 + 5s);
    actions = offer(0, 4, t0 + 5s);
    ASSERT_EQ(actions.changes.size(), 1u);
    EXPECT_FALSE(actions.changes[0].available);
    EXPECT_TRUE(offer(3, 5, t0 + 5s, 2).changes.empty());
}

TEST(DiscoveryStateMachine, APeersRestartExpiresItsOffersAndDropsItsSubscriptions) {
    Service_discovery discovery(config(), 1);
    discovery.offer(monitor_offer(), t0);
    const sd::Endpoint service{peer.ip, sd::protocol_udp, 30502};
    const Instance_key did{0x0401, 0x0001};
    auto offer_from_peer = [&](std::uint16_t session, std::uint8_t flags) {
        return discovery.on_message(message_with(entry(sd::entry_type::offer_service, did, 3), service, flags), session,
                                    peer, true, t0);
    };
    auto subscribe_from_peer = [&](std::uint16_t session, std::uint8_t flags) {
        return discovery.on_message(message_with(entry(sd::entry_type::subscribe_eventgroup, monitor, 3, 1), at_peer, flags),
                                    session, peer, false, t0);
    };
    offer_from_peer(1, rebooted);
    subscribe_from_peer(1, rebooted);
    EXPECT_TRUE(offer_from_peer(2, rebooted).changes.empty()) << "the multicast session grows";
    ASSERT_EQ(discovery.subscribers(monitor, 1, t0).size(), 1u);

    // Session 1 again with the reboot flag, on the unicast channel: the peer restarted.
    const auto find = message_with(entry(sd::entry_type::find_service, Instance_key{0x9999, 1}, 3));
    auto actions = discovery.on_message(find, 1, peer, false, t0);
    ASSERT_EQ(actions.changes.size(), 1u);
    EXPECT_FALSE(actions.changes[0].available) << "its offer expires at once";
    EXPECT_TRUE(discovery.subscribers(monitor, 1, t0).empty()) << "no more notifications to the old endpoint";
    ASSERT_EQ(actions.notes.size(), 1u);
    EXPECT_EQ(actions.notes[0].text, "SOME/IP-SD peer 127.0.0.3:30490 restarted; its offers and subscriptions are dropped");

    // After its first wrap a peer's flag is clear; a flag set again means another restart.
    offer_from_peer(3, sd::flag_unicast);
    actions = offer_from_peer(4, rebooted);
    ASSERT_EQ(actions.changes.size(), 2u) << "expired, then offered again by the same message";
    EXPECT_FALSE(actions.changes[0].available);
    EXPECT_TRUE(actions.changes[1].available);
    EXPECT_EQ(discovery.tracked_peers(), 1u) << "one entry per endpoint, with both channels";
}

TEST(DiscoveryStateMachine, NobodyCanMakeItAnAmplifierOrGrowItWithoutBound) {
    auto c = config();
    c.peer_timeout = 60s;
    Service_discovery discovery(c, 1);
    discovery.offer(monitor_offer(), t0);
    std::uint16_t session = 0;
    auto subscribe_from = [&](std::uint32_t ip, std::uint32_t ttl, Time now) {
        const sd::Endpoint endpoint{ip, sd::protocol_udp, 40000};
        return discovery.on_message(message_with(entry(sd::entry_type::subscribe_eventgroup, monitor, ttl, 1), endpoint),
                                    ++session, Address{ip, 30490}, false, now);
    };

    // A permanent subscription is cut to the cap, and the Ack says so.
    auto sent = decode(subscribe_from(0x7F000011, sd::ttl_forever, t0));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].entries[0].ttl, 300u);
    EXPECT_TRUE(discovery.subscribers(monitor, 1, t0 + 300s).empty());

    // However many finds a peer sends, it draws four answers at once and then ten a second.
    sd::Message find = message_with(entry(sd::entry_type::find_service, monitor, 3));
    find.entries.assign(4090, find.entries[0]);
    std::size_t answers = 0;
    for (int n = 0; n < 20; ++n) {
        for (const auto& s : decode(discovery.on_message(find, static_cast<std::uint16_t>(n + 1), peer, true, t0 + 32s))) {
            EXPECT_EQ(s.entries.size(), 1u) << "one offer per instance";
            ++answers;
        }
    }
    EXPECT_EQ(answers, 4u);
    EXPECT_EQ(decode(discovery.on_message(find, 21, peer, true, t0 + 32s + 100ms)).size(), 1u);

    // A peer with a live subscription is kept past its silence and looked at again later;
    // one heard from again is kept from then on; the others are forgotten.
    discovery.on_message(find, 22, peer, true, t0 + 80s);
    discovery.on_timer(t0 + 100s);
    EXPECT_EQ(discovery.tracked_peers(), 2u) << "127.0.0.17 still subscribes, 127.0.0.3 spoke at 80 s";
    EXPECT_GT(discovery.next_deadline(), t0 + 100s);
    discovery.on_message(find, 23, peer, true, t0 + 350s);
    discovery.on_timer(t0 + 400s);
    EXPECT_EQ(discovery.tracked_peers(), 1u) << "127.0.0.3 spoke at 350 s; 127.0.0.17's subscription ran out";
}

// What a peer has live (the DEM's subscription, its offer, the session
// counter towards it) survives whatever another sender does.
TEST(DiscoveryStateMachine, NoOtherSenderEndsOrPushesOutWhatALivePeerHas) {
    const Address hostile{0x7F000005, 30490};
    const Instance_key did{0x0401, 0x0001};
    std::vector<Sent> answers;
    const auto from = [&](Service_discovery& d, const sd::Message& m, Address sender, std::uint16_t session = 1) {
        for (const auto& sent : decode(d.on_message(m, session, sender, false, t0))) answers.push_back(sent);
    };
    const auto subscription = [](std::uint32_t ttl, std::uint32_t ip, std::uint16_t port) { return message_with(entry(sd::entry_type::subscribe_eventgroup, monitor, ttl, 1), sd::Endpoint{ip, sd::protocol_udp, port}); };
    const auto offer = [](std::uint32_t ttl, Instance_key key, std::uint32_t ip) { return message_with(entry(sd::entry_type::offer_service, key, ttl), sd::Endpoint{ip, sd::protocol_udp, 30502}); };
    const auto find = message_with(entry(sd::entry_type::find_service, monitor, 3));
    // Entry bytes 06000010 0d01 0001 01 000003 00f00001: a subscription with reserved bits set.
    const std::vector<std::uint8_t> reserved = {0xC0, 0, 0, 0, 0, 0, 0, 16, 0x06, 0, 0, 0x10, 0x0D, 0x01, 0, 0x01, 0x01, 0, 0, 0x03,
                                                0, 0xF0, 0, 0x01, 0, 0, 0, 12, 0, 0x09, 0x04, 0, 0x7F, 0, 0, 0x05, 0, 0x11, 0x9C, 0x40};
    const std::vector<std::tuple<const char*, std::function<void(Service_discovery&)>, std::size_t, std::size_t>> cases = {
        {"SD from the DEM's address but another port: reboot flag, session 10 then 1", [&](Service_discovery& d) {
             for (const std::uint16_t session : {10, 1}) from(d, find, Address{peer.ip, 40001}, session);
         }, 0, 0},
        {"a StopSubscribe of the DEM's endpoint from another address",
         [&](Service_discovery& d) { from(d, subscription(0, peer_events.ip, peer_events.port), hostile); }, 0, 0},
        {"one address subscribing five endpoints for ever", [&](Service_discovery& d) {
             for (std::uint16_t n = 0; n < 5; ++n) from(d, subscription(sd::ttl_forever, hostile.ip, 40000 + n), hostile, n + 1);
         }, 5, 1},
        {"more subscribers than the eventgroup holds", [&](Service_discovery& d) {
             for (std::uint32_t ip = 0x7F000100; ip < 0x7F000106; ++ip) from(d, subscription(sd::ttl_forever, ip, 40000), {ip, 30490});
         }, 6, 1},
        {"a subscription with reserved bits set",
         [&](Service_discovery& d) { from(d, *sd::parse(reserved.data(), reserved.size()), hostile); }, 1, 1},
        {"another sender's offer and StopOffer of the instance, an offer naming another address", [&](Service_discovery& d) {
             from(d, offer(3, did, hostile.ip), hostile, 1);
             from(d, offer(0, did, hostile.ip), hostile, 2);
             from(d, offer(3, Instance_key{0x0401, 2}, 0x0A000001), hostile, 3);
         }, 0, 0},
        {"finds from more addresses than the peer table holds: those beyond are not answered", [&](Service_discovery& d) {
             for (std::uint32_t ip = 0x7F000200; ip < 0x7F00020A; ++ip) from(d, find, {ip, 30490});
         }, 7, 0},
    };
    for (const auto& [what, attack, answered, nacks] : cases) {
        auto cfg = config();
        cfg.max_subscribers_per_eventgroup = 6;
        cfg.max_peers = 8;
        Service_discovery discovery(cfg, 1);
        discovery.offer(monitor_offer(), t0);
        // The DEM offers an instance, subscribes, and has its Ack (session 1).
        from(discovery, offer(3, did, peer.ip), peer);
        from(discovery, subscription(3, peer_events.ip, peer_events.port), peer, 2);
        answers.clear();
        attack(discovery);
        EXPECT_EQ(answers.size(), answered) << what;
        EXPECT_EQ(std::count_if(answers.begin(), answers.end(), [](const Sent& s) { return s.entries.at(0).ttl == 0; }), nacks) << what;
        const auto subscribers = discovery.subscribers(monitor, 1, t0);
        EXPECT_EQ(std::count(subscribers.begin(), subscribers.end(), peer_events), 1) << what;
        EXPECT_EQ(discovery.endpoint_of(did, t0), (Address{peer.ip, 30502})) << what;
        EXPECT_FALSE(discovery.endpoint_of(Instance_key{0x0401, 2}, t0).has_value()) << what;
        // The DEM's counter goes on from its Ack: no restart of this process for it to see.
        answers.clear();
        from(discovery, find, peer, 3);
        ASSERT_EQ(answers.size(), 1u) << what;
        EXPECT_EQ(answers[0].session, 2) << what;
    }
}

TEST(DiscoveryStateMachine, AGatewayMaySubscribeForOtherAddressesWhenTheDeploymentSaysSo) {
    auto c = config();
    c.subscribers_on_other_addresses = true;
    Service_discovery discovery(c, 1);
    discovery.offer(monitor_offer(), t0);
    const sd::Endpoint elsewhere{0x0A000001, sd::protocol_udp, 40000};
    const auto subscribe = message_with(entry(sd::entry_type::subscribe_eventgroup, monitor, 5, 1), elsewhere);
    const auto sent = decode(discovery.on_message(subscribe, 1, peer, false, t0));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].entries[0].ttl, 5u);
    EXPECT_EQ(discovery.subscribers(monitor, 1, t0), (std::vector<Address>{{0x0A000001, 40000}}));
}

}  // namespace
}  // namespace rk::com::runtime::someip
