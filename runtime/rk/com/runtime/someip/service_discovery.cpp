#include "rk/com/runtime/someip/service_discovery.h"

#include <algorithm>
#include <stdexcept>

namespace rk::com::runtime::someip {

namespace {

constexpr std::uint16_t any_service = 0xFFFF;
constexpr std::uint16_t any_instance = 0xFFFF;
constexpr std::uint8_t any_major = 0xFF;

std::optional<sd::Endpoint> udp_endpoint(const sd::Message& message, const sd::Entry& entry) {
    for (const auto& candidate : message.endpoints_of(entry)) {
        if (candidate.protocol == sd::protocol_udp) return candidate;
    }
    return std::nullopt;
}

std::string describe(Instance_key key) {
    return "service " + std::to_string(key.service) + " instance " + std::to_string(key.instance);
}

void add_offer_entry(sd::Message& message, const Service_discovery::Local_offer& offer,
                     std::uint32_t ttl) {
    sd::Entry entry;
    entry.type = sd::entry_type::offer_service;
    entry.service_id = offer.key.service;
    entry.instance_id = offer.key.instance;
    entry.major_version = offer.major_version;
    entry.minor_version = offer.minor_version;
    entry.ttl = ttl;
    entry.first_option = sd::add_endpoint(
        message, sd::Endpoint{offer.endpoint.ip, sd::protocol_udp, offer.endpoint.port});
    entry.first_count = 1;
    message.entries.push_back(entry);
}

sd::Message subscribe_message(Instance_key key, std::uint8_t major_version,
                              std::uint16_t eventgroup, Address receiver, std::uint32_t ttl) {
    sd::Message message;
    sd::Entry entry;
    entry.type = sd::entry_type::subscribe_eventgroup;
    entry.service_id = key.service;
    entry.instance_id = key.instance;
    entry.major_version = major_version;
    entry.ttl = ttl;
    entry.eventgroup = eventgroup;
    entry.first_option =
        sd::add_endpoint(message, sd::Endpoint{receiver.ip, sd::protocol_udp, receiver.port});
    entry.first_count = 1;
    message.entries.push_back(entry);
    return message;
}

// The Ack (ttl > 0) or Nack (ttl 0) of a subscription.
sd::Entry ack_entry(const sd::Entry& subscription, std::uint32_t ttl) {
    sd::Entry reply;
    reply.type = sd::entry_type::subscribe_eventgroup_ack;
    reply.service_id = subscription.service_id;
    reply.instance_id = subscription.instance_id;
    reply.major_version = subscription.major_version;
    reply.ttl = ttl;
    reply.counter = subscription.counter;
    reply.eventgroup = subscription.eventgroup;
    return reply;
}

namespace note_kind {
const char* const peer_restarted = "SOME/IP-SD peer restarted";
const char* const peers_full = "SOME/IP-SD peers full";
const char* const subscribers_full = "SOME/IP-SD subscribers full";
const char* const offer_ignored = "SOME/IP-SD offer ignored";
const char* const subscription_refused = "SOME/IP subscription refused";
}  // namespace note_kind

}  // namespace

void Service_discovery::Offer_state::schedule_next(Time now, const Config& config) {
    if (cyclic) {
        next_send = now + config.cyclic_offer_delay;
    } else if (repetitions < config.repetitions_max) {
        next_send = now + config.repetition_base_delay * (1LL << repetitions);
        ++repetitions;
    } else {
        cyclic = true;
        next_send =
            config.cyclic_offer_delay.count() > 0 ? now + config.cyclic_offer_delay : Time::max();
    }
}

void Service_discovery::Actions::append(Actions&& other) {
    for (auto& datagram : other.datagrams) datagrams.push_back(std::move(datagram));
    changes.insert(changes.end(), other.changes.begin(), other.changes.end());
    for (auto& note : other.notes) notes.push_back(std::move(note));
}

Service_discovery::Service_discovery(Config config, std::uint32_t seed)
    : config_(std::move(config)),
      random_(seed),
      subscribers_(config_.max_subscribers_per_eventgroup, config_.max_subscribers_per_address),
      peers_(config_.max_peers, config_.peer_timeout) {}

void Service_discovery::note_peers_full(bool full, Actions& actions) const {
    // The log lets one of these through a second, however many newcomers knock.
    if (full) {
        actions.notes.push_back({note_kind::peers_full, "",
                                 "SOME/IP-SD: more than " + std::to_string(config_.max_peers) +
                                     " peers; newcomers are not heard until one goes"});
    }
}

bool Service_discovery::peer_is_live(Address peer) const {
    if (subscribers_.has_origin(peer.ip)) return true;
    return std::any_of(learned_.begin(), learned_.end(),
                       [&](const auto& entry) { return entry.second.origin == peer; });
}

Sd_peers::Live Service_discovery::live() const {
    return [this](Address peer) { return peer_is_live(peer); };
}

std::uint8_t Service_discovery::major_of(std::uint16_t service) const {
    const auto known = config_.known_services.find(service);
    return known != config_.known_services.end() ? known->second : any_major;
}

Service_discovery::Time Service_discovery::expiry(Time now, std::uint32_t ttl) const {
    if (ttl >= sd::ttl_forever) return Time::max();
    return now + std::chrono::seconds(ttl);
}

// --- sending ---

void Service_discovery::to_one(sd::Message message, Address to, Time now, Actions& actions) {
    bool full = false;
    const auto session = peers_.next_session(to, now, live(), full);
    note_peers_full(full, actions);
    if (!session) return;
    message.flags =
        static_cast<std::uint8_t>(sd::flag_unicast | (session->reboot ? sd::flag_reboot : 0));
    actions.datagrams.push_back(Datagram{to, sd::encode(message, session->id)});
}

void Service_discovery::to_everyone(sd::Message message, Time now, Actions& actions) {
    if (config_.group) {
        const auto session = multicast_session_.next();
        message.flags =
            static_cast<std::uint8_t>(sd::flag_unicast | (session.reboot ? sd::flag_reboot : 0));
        actions.datagrams.push_back(Datagram{*config_.group, sd::encode(message, session.id)});
    }
    for (const auto& peer : config_.peers) to_one(message, peer, now, actions);
}

// --- this process's instances ---

void Service_discovery::offer(const Local_offer& offer, Time now) {
    std::uniform_int_distribution<long long> pick(
        config_.initial_delay_min.count(),
        std::max(config_.initial_delay_min, config_.initial_delay_max).count());
    Offer_state state;
    state.offer = offer;
    state.next_send = now + std::chrono::milliseconds(pick(random_));
    offers_[offer.key] = std::move(state);
}

Service_discovery::Actions Service_discovery::stop_offer(Instance_key key, Time now) {
    Actions actions;
    auto found = offers_.find(key);
    if (found == offers_.end()) return actions;
    sd::Message message;
    add_offer_entry(message, found->second.offer, 0);
    offers_.erase(found);
    subscribers_.remove_instance(key);
    to_everyone(std::move(message), now, actions);
    return actions;
}

std::vector<Address> Service_discovery::subscribers(Instance_key key, std::uint16_t eventgroup,
                                                    Time now) const {
    return subscribers_.live(key, eventgroup, now);
}

// --- other processes' instances ---

Service_discovery::Actions Service_discovery::find(Instance_key key, Time now) {
    Actions actions;
    auto& last = last_find_[key];
    if (last != Time{} && now - last < config_.initial_delay_max) return actions;
    last = now;
    sd::Message message;
    sd::Entry entry;
    entry.type = sd::entry_type::find_service;
    entry.service_id = key.service;
    entry.instance_id = key.instance;
    entry.major_version = major_of(key.service);
    entry.minor_version = 0xFFFFFFFF;
    entry.ttl = config_.offer_ttl;
    message.entries.push_back(entry);
    to_everyone(std::move(message), now, actions);
    return actions;
}

Service_discovery::Actions Service_discovery::subscribe(Instance_key key, std::uint16_t eventgroup,
                                                        Address receiver, Time now) {
    Actions actions;
    subscriptions_[{key, eventgroup}] = receiver;
    auto known = learned_.find(key);
    if (known != learned_.end() && known->second.expires > now) {
        to_one(subscribe_message(key, major_of(key.service), eventgroup, receiver,
                                 config_.subscription_ttl),
               known->second.origin, now, actions);
    }
    return actions;
}

Service_discovery::Actions Service_discovery::unsubscribe(Instance_key key,
                                                          std::uint16_t eventgroup, Time now) {
    Actions actions;
    auto found = subscriptions_.find({key, eventgroup});
    if (found == subscriptions_.end()) return actions;
    const Address receiver = found->second;
    subscriptions_.erase(found);
    auto known = learned_.find(key);
    if (known != learned_.end() && known->second.expires > now) {
        to_one(subscribe_message(key, major_of(key.service), eventgroup, receiver, 0),
               known->second.origin, now, actions);
    }
    return actions;
}

std::optional<Address> Service_discovery::endpoint_of(Instance_key key, Time now) const {
    auto found = learned_.find(key);
    if (found == learned_.end() || found->second.expires <= now) return std::nullopt;
    return found->second.endpoint;
}

// --- input ---

void Service_discovery::forget_peer(Address peer, Actions& actions) {
    for (auto it = learned_.begin(); it != learned_.end();) {
        if (it->second.origin != peer) {
            ++it;
            continue;
        }
        if (offers_.count(it->first) == 0) actions.changes.push_back({it->first, false});
        it = learned_.erase(it);
    }
    subscribers_.remove_origin(peer.ip);
}

Service_discovery::Actions Service_discovery::on_message(const sd::Message& message,
                                                         std::uint16_t session_id, Address sender,
                                                         bool via_multicast, Time now) {
    Actions actions;
    if (admit_sender(message, session_id, sender, via_multicast, now, actions)) {
        handle_entries(message, sender, now, actions);
    }
    return actions;
}

bool Service_discovery::admit_sender(const sd::Message& message, std::uint16_t session_id,
                                     Address sender, bool via_multicast, Time now,
                                     Actions& actions) {
    // Our own messages come back through the group; discovery speaks from
    // the SD port (or a configured peer's endpoint) only, anything else is
    // not a discovery participant.
    const bool discovery_port = sender.port == config_.self.port ||
                                std::find(config_.peers.begin(), config_.peers.end(), sender) != config_.peers.end();
    if (sender == config_.self || !discovery_port) return false;
    bool full = false;
    const auto restarted = peers_.received(sender, via_multicast, session_id,
                                           (message.flags & sd::flag_reboot) != 0, now, live(), full);
    note_peers_full(full, actions);
    if (!restarted) return false;
    if (*restarted) {
        actions.notes.push_back({note_kind::peer_restarted, to_text(sender),
                                 "SOME/IP-SD peer " + to_text(sender) +
                                     " restarted; its offers and subscriptions are dropped"});
        forget_peer(sender, actions);
    }
    return true;
}

void Service_discovery::handle_entries(const sd::Message& message, Address sender, Time now,
                                       Actions& actions) {
    sd::Message offers_answer;
    sd::Message subscribe_answer;
    for (const auto& entry : message.entries) {
        switch (entry.type) {
            case sd::entry_type::find_service:
                answer_find(entry, offers_answer);
                break;
            case sd::entry_type::offer_service:
                learn_offer(message, entry, sender, now, actions);
                break;
            case sd::entry_type::subscribe_eventgroup:
                answer_subscribe(message, entry, sender, now, subscribe_answer, actions);
                break;
            case sd::entry_type::subscribe_eventgroup_ack:
                if (entry.ttl == 0) {
                    actions.notes.push_back(
                        {note_kind::subscription_refused, to_text(sender),
                         "SOME/IP subscription refused by " + to_text(sender) + ": " +
                             describe({entry.service_id, entry.instance_id}) + " eventgroup " +
                             std::to_string(entry.eventgroup)});
                }
                break;
            default:
                break;
        }
    }
    // A peer draws only a few answers to its finds a second, however many it sends.
    if (!offers_answer.entries.empty() && peers_.may_answer(sender, now)) {
        to_one(std::move(offers_answer), sender, now, actions);
    }
    if (!subscribe_answer.entries.empty())
        to_one(std::move(subscribe_answer), sender, now, actions);
}

void Service_discovery::answer_find(const sd::Entry& entry, sd::Message& answer) const {
    for (const auto& offered : offers_) {
        const Instance_key key = offered.first;
        const auto& offer = offered.second.offer;
        if (entry.service_id != any_service && entry.service_id != key.service) continue;
        if (entry.instance_id != any_instance && entry.instance_id != key.instance) continue;
        if (entry.major_version != any_major && entry.major_version != offer.major_version)
            continue;
        // However often a find repeats the instance, it is offered once.
        const bool already =
            std::any_of(answer.entries.begin(), answer.entries.end(), [&](const sd::Entry& e) {
                return e.service_id == key.service && e.instance_id == key.instance;
            });
        if (!already) add_offer_entry(answer, offer, config_.offer_ttl);
    }
}

void Service_discovery::learn_offer(const sd::Message& message, const sd::Entry& entry,
                                    Address sender, Time now, Actions& actions) {
    const Instance_key key{entry.service_id, entry.instance_id};
    const auto known = config_.known_services.find(key.service);
    if (known == config_.known_services.end() || entry.major_version != known->second) return;
    const bool local = offers_.count(key) != 0;
    auto found = learned_.find(key);
    const bool live = found != learned_.end() && found->second.expires > now;
    // An instance belongs to its sender until its offer runs out or the
    // sender restarts; the offered endpoint is on the sender's address.
    const auto endpoint = udp_endpoint(message, entry);
    const bool foreign_owner = live && found->second.origin != sender;
    const bool elsewhere = entry.ttl != 0 && endpoint && endpoint->address != sender.ip &&
                           !config_.offers_on_other_addresses;
    if (foreign_owner || elsewhere) {
        actions.notes.push_back({note_kind::offer_ignored, to_text(sender),
                                 "SOME/IP-SD offer of " + describe(key) + " from " + to_text(sender) +
                                     " ignored: " +
                                     (foreign_owner ? "offered by " + to_text(found->second.origin)
                                                    : std::string("its endpoint is on another address"))});
        return;
    }
    if (entry.ttl == 0) {
        if (found != learned_.end()) {
            learned_.erase(found);
            if (live && !local) actions.changes.push_back({key, false});
        }
        return;
    }
    if (!endpoint) return;
    learned_[key] =
        Learned_offer{Address{endpoint->address, endpoint->port}, sender, expiry(now, entry.ttl)};
    if (!live && !local) actions.changes.push_back({key, true});
    // Every offer renews this process's subscriptions to the instance.
    for (const auto& [subscription, receiver] : subscriptions_) {
        if (subscription.first == key) {
            to_one(subscribe_message(key, major_of(key.service), subscription.second, receiver,
                                     config_.subscription_ttl),
                   sender, now, actions);
        }
    }
}

void Service_discovery::answer_subscribe(const sd::Message& message, const sd::Entry& entry,
                                         Address sender, Time now, sd::Message& answer,
                                         Actions& actions) {
    const Instance_key key{entry.service_id, entry.instance_id};
    const auto endpoint = udp_endpoint(message, entry);
    if (entry.ttl == 0) {
        // Only the address that subscribed ends the subscription.
        if (endpoint)
            subscribers_.remove(key, entry.eventgroup, Address{endpoint->address, endpoint->port}, sender.ip);
        return;
    }
    auto offered = offers_.find(key);
    bool accepted =
        offered != offers_.end() && endpoint && !entry.reserved_bits_set &&
        entry.major_version == offered->second.offer.major_version &&
        std::count(offered->second.offer.eventgroups.begin(),
                   offered->second.offer.eventgroups.end(), entry.eventgroup) != 0 &&
        // Notifications only go back to the address that asked for them.
        (endpoint->address == sender.ip || config_.subscribers_on_other_addresses);
    // A subscription from another process is never permanent.
    const std::uint32_t ttl = std::min(entry.ttl, config_.max_subscription_ttl);
    if (accepted) {
        // A full eventgroup refuses the newcomer; nobody subscribed is pushed out.
        const auto added = subscribers_.add(key, entry.eventgroup, Address{endpoint->address, endpoint->port},
                                            expiry(now, ttl), sender.ip, now);
        if (added != Sd_subscribers::Added::yes) {
            accepted = false;
            const bool address_full = added == Sd_subscribers::Added::address_full;
            actions.notes.push_back(
                {note_kind::subscribers_full, to_text(sender),
                 "SOME/IP-SD subscription of " + to_text(sender) + " to " + describe(key) + " eventgroup " +
                     std::to_string(entry.eventgroup) + " refused: " +
                     (address_full ? std::to_string(config_.max_subscribers_per_address) +
                                         " endpoints of its address subscribe already"
                                   : std::to_string(config_.max_subscribers_per_eventgroup) +
                                         " subscribers already")});
        }
    }
    answer.entries.push_back(ack_entry(entry, accepted ? ttl : 0));
}

Service_discovery::Actions Service_discovery::on_timer(Time now) {
    Actions actions;
    sd::Message due;
    for (auto& [key, state] : offers_) {
        if (state.next_send > now) continue;
        add_offer_entry(due, state.offer, config_.offer_ttl);
        const bool was_cyclic = state.cyclic;
        state.schedule_next(now, config_);
        if (state.cyclic && !was_cyclic) join_cycle(key, now);
    }
    if (!due.entries.empty()) to_everyone(std::move(due), now, actions);
    for (auto it = learned_.begin(); it != learned_.end();) {
        if (it->second.expires > now) {
            ++it;
            continue;
        }
        if (offers_.count(it->first) == 0) actions.changes.push_back({it->first, false});
        it = learned_.erase(it);
    }
    subscribers_.expire(now);
    if (peers_.next_expiry() <= now)
        peers_.expire(now, live());
    return actions;
}

// An offer entering the cyclic phase goes out with the others already in
// it: one message and one wake-up per cycle, however many instances.
void Service_discovery::join_cycle(Instance_key key, Time now) {
    for (const auto& [other, state] : offers_) {
        if (!(other == key) && state.cyclic && state.next_send > now) {
            offers_[key].next_send = state.next_send;
            return;
        }
    }
}

Service_discovery::Time Service_discovery::next_deadline() const {
    auto due = Time::max();
    for (const auto& entry : offers_) due = std::min(due, entry.second.next_send);
    for (const auto& entry : learned_) due = std::min(due, entry.second.expires);
    due = std::min(due, subscribers_.next_expiry());
    return std::min(due, peers_.next_expiry());
}

}  // namespace rk::com::runtime::someip
