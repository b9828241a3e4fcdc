#include "rk/com/runtime/someip/service_discovery.h"

#include <arpa/inet.h>

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

}  // namespace

std::string to_text(const Address& address) {
    in_addr raw{};
    raw.s_addr = htonl(address.ip);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &raw, text, sizeof text);
    return std::string(text) + ":" + std::to_string(address.port);
}

Address parse_address(const std::string& ip, std::uint16_t port) {
    in_addr raw{};
    if (inet_pton(AF_INET, ip.c_str(), &raw) != 1) throw std::invalid_argument("not an IPv4 address: " + ip);
    return Address{ntohl(raw.s_addr), port};
}

void Service_discovery::Actions::append(Actions&& other) {
    for (auto& datagram : other.datagrams) datagrams.push_back(std::move(datagram));
    changes.insert(changes.end(), other.changes.begin(), other.changes.end());
    for (auto& note : other.notes) notes.push_back(std::move(note));
}

Service_discovery::Service_discovery(Config config, std::uint32_t seed) : config_(std::move(config)), random_(seed) {}

Service_discovery::Time Service_discovery::expiry(Time now, std::uint32_t ttl) const {
    if (ttl >= sd::ttl_forever) return Time::max();
    return now + std::chrono::seconds(ttl);
}

// --- sending ---

void Service_discovery::to_one(sd::Message message, Address to, Actions& actions) {
    const auto session = unicast_sessions_[to.ip].next();
    message.flags = static_cast<std::uint8_t>(sd::flag_unicast | (session.reboot ? sd::flag_reboot : 0));
    actions.datagrams.push_back(Datagram{to, sd::encode(message, session.id)});
}

void Service_discovery::to_everyone(sd::Message message, Actions& actions) {
    if (config_.group) {
        const auto session = multicast_session_.next();
        message.flags = static_cast<std::uint8_t>(sd::flag_unicast | (session.reboot ? sd::flag_reboot : 0));
        actions.datagrams.push_back(Datagram{*config_.group, sd::encode(message, session.id)});
    }
    for (const auto& peer : config_.peers) to_one(message, peer, actions);
}

void Service_discovery::add_offer_entry(sd::Message& message, const Local_offer& offer, std::uint32_t ttl) const {
    sd::Entry entry;
    entry.type = sd::entry_type::offer_service;
    entry.service_id = offer.key.service;
    entry.instance_id = offer.key.instance;
    entry.major_version = offer.major_version;
    entry.minor_version = offer.minor_version;
    entry.ttl = ttl;
    entry.first_option = sd::add_endpoint(message, sd::Endpoint{offer.endpoint.ip, sd::protocol_udp, offer.endpoint.port});
    entry.first_count = 1;
    message.entries.push_back(entry);
}

sd::Message Service_discovery::subscribe_message(Instance_key key, std::uint16_t eventgroup, Address receiver,
                                                 std::uint32_t ttl) const {
    sd::Message message;
    sd::Entry entry;
    entry.type = sd::entry_type::subscribe_eventgroup;
    entry.service_id = key.service;
    entry.instance_id = key.instance;
    const auto known = config_.known_services.find(key.service);
    entry.major_version = known != config_.known_services.end() ? known->second : any_major;
    entry.ttl = ttl;
    entry.eventgroup = eventgroup;
    entry.first_option = sd::add_endpoint(message, sd::Endpoint{receiver.ip, sd::protocol_udp, receiver.port});
    entry.first_count = 1;
    message.entries.push_back(entry);
    return message;
}

// --- this process's instances ---

void Service_discovery::offer(const Local_offer& offer, Time now) {
    std::uniform_int_distribution<long long> pick(config_.initial_delay_min.count(),
                                                  std::max(config_.initial_delay_min, config_.initial_delay_max).count());
    Offer_state state;
    state.offer = offer;
    state.next_send = now + std::chrono::milliseconds(pick(random_));
    offers_[offer.key] = std::move(state);
}

Service_discovery::Actions Service_discovery::stop_offer(Instance_key key) {
    Actions actions;
    auto found = offers_.find(key);
    if (found == offers_.end()) return actions;
    sd::Message message;
    add_offer_entry(message, found->second.offer, 0);
    offers_.erase(found);
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        it = it->first.instance == key ? subscribers_.erase(it) : std::next(it);
    }
    to_everyone(std::move(message), actions);
    return actions;
}

std::vector<Address> Service_discovery::subscribers(Instance_key key, std::uint16_t eventgroup, Time now) const {
    std::vector<Address> result;
    const Subscriber_key first{key, eventgroup, Address{}};
    for (auto it = subscribers_.lower_bound(first);
         it != subscribers_.end() && it->first.instance == key && it->first.eventgroup == eventgroup; ++it) {
        if (it->second.expires > now) result.push_back(it->first.receiver);
    }
    return result;
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
    const auto known = config_.known_services.find(key.service);
    entry.major_version = known != config_.known_services.end() ? known->second : any_major;
    entry.minor_version = 0xFFFFFFFF;
    entry.ttl = config_.offer_ttl;
    message.entries.push_back(entry);
    to_everyone(std::move(message), actions);
    return actions;
}

Service_discovery::Actions Service_discovery::subscribe(Instance_key key, std::uint16_t eventgroup, Address receiver,
                                                        Time now) {
    Actions actions;
    subscriptions_[{key, eventgroup}] = receiver;
    auto known = learned_.find(key);
    if (known != learned_.end() && known->second.expires > now) {
        to_one(subscribe_message(key, eventgroup, receiver, config_.subscription_ttl), known->second.origin, actions);
    }
    return actions;
}

Service_discovery::Actions Service_discovery::unsubscribe(Instance_key key, std::uint16_t eventgroup, Time now) {
    Actions actions;
    auto found = subscriptions_.find({key, eventgroup});
    if (found == subscriptions_.end()) return actions;
    const Address receiver = found->second;
    subscriptions_.erase(found);
    auto known = learned_.find(key);
    if (known != learned_.end() && known->second.expires > now) {
        to_one(subscribe_message(key, eventgroup, receiver, 0), known->second.origin, actions);
    }
    return actions;
}

std::optional<Address> Service_discovery::endpoint_of(Instance_key key, Time now) const {
    auto found = learned_.find(key);
    if (found == learned_.end() || found->second.expires <= now) return std::nullopt;
    return found->second.endpoint;
}

// --- input ---

bool Service_discovery::rebooted(Address sender, bool via_multicast, std::uint16_t session, bool reboot_flag) {
    auto [it, first] = received_.try_emplace({sender.ip, via_multicast}, Received{session, reboot_flag});
    if (first) return false;
    Received& last = it->second;
    const bool restarted = reboot_flag && (!last.reboot || session <= last.session);
    last = Received{session, reboot_flag};
    return restarted;
}

void Service_discovery::forget_peer(std::uint32_t ip, Actions& actions) {
    for (auto it = learned_.begin(); it != learned_.end();) {
        if (it->second.origin.ip != ip) {
            ++it;
            continue;
        }
        if (offers_.count(it->first) == 0) actions.changes.push_back({it->first, false});
        it = learned_.erase(it);
    }
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        it = it->second.origin_ip == ip ? subscribers_.erase(it) : std::next(it);
    }
}

Service_discovery::Actions Service_discovery::on_message(const sd::Message& message, std::uint16_t session_id,
                                                         Address sender, bool via_multicast, Time now) {
    Actions actions;
    // Our own messages come back through the group.
    if (sender == config_.self) return actions;
    if (rebooted(sender, via_multicast, session_id, (message.flags & sd::flag_reboot) != 0)) {
        actions.notes.push_back("SOME/IP-SD peer " + to_text(sender) + " restarted; its offers and subscriptions are dropped");
        forget_peer(sender.ip, actions);
    }
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
                answer_subscribe(message, entry, sender, now, subscribe_answer);
                break;
            case sd::entry_type::subscribe_eventgroup_ack:
                if (entry.ttl == 0) {
                    actions.notes.push_back("SOME/IP subscription refused by " + to_text(sender) + ": " +
                                            describe({entry.service_id, entry.instance_id}) + " eventgroup " +
                                            std::to_string(entry.eventgroup));
                }
                break;
            default:
                break;
        }
    }
    if (!offers_answer.entries.empty()) to_one(std::move(offers_answer), sender, actions);
    if (!subscribe_answer.entries.empty()) to_one(std::move(subscribe_answer), sender, actions);
    return actions;
}

void Service_discovery::answer_find(const sd::Entry& entry, sd::Message& answer) const {
    for (const auto& [key, state] : offers_) {
        const auto& offer = state.offer;
        if (entry.service_id != any_service && entry.service_id != key.service) continue;
        if (entry.instance_id != any_instance && entry.instance_id != key.instance) continue;
        if (entry.major_version != any_major && entry.major_version != offer.major_version) continue;
        // However often a find repeats the instance, it is offered once.
        const bool already = std::any_of(answer.entries.begin(), answer.entries.end(), [&](const sd::Entry& e) {
            return e.service_id == key.service && e.instance_id == key.instance;
        });
        if (!already) add_offer_entry(answer, offer, config_.offer_ttl);
    }
}

void Service_discovery::learn_offer(const sd::Message& message, const sd::Entry& entry, Address sender, Time now,
                                    Actions& actions) {
    const Instance_key key{entry.service_id, entry.instance_id};
    const auto known = config_.known_services.find(key.service);
    if (known == config_.known_services.end() || entry.major_version != known->second) return;
    const bool local = offers_.count(key) != 0;
    auto found = learned_.find(key);
    const bool live = found != learned_.end() && found->second.expires > now;
    if (entry.ttl == 0) {
        if (found != learned_.end()) {
            learned_.erase(found);
            if (live && !local) actions.changes.push_back({key, false});
        }
        return;
    }
    const auto endpoint = udp_endpoint(message, entry);
    if (!endpoint) return;
    learned_[key] = Learned_offer{Address{endpoint->address, endpoint->port}, sender, expiry(now, entry.ttl)};
    if (!live && !local) actions.changes.push_back({key, true});
    // Every offer renews this process's subscriptions to the instance.
    for (const auto& [subscription, receiver] : subscriptions_) {
        if (subscription.first == key) {
            to_one(subscribe_message(key, subscription.second, receiver, config_.subscription_ttl), sender, actions);
        }
    }
}

void Service_discovery::answer_subscribe(const sd::Message& message, const sd::Entry& entry, Address sender, Time now,
                                         sd::Message& answer) {
    const Instance_key key{entry.service_id, entry.instance_id};
    const auto endpoint = udp_endpoint(message, entry);
    if (entry.ttl == 0) {
        if (endpoint) subscribers_.erase(Subscriber_key{key, entry.eventgroup, Address{endpoint->address, endpoint->port}});
        return;
    }
    auto offered = offers_.find(key);
    const bool accepted =
        offered != offers_.end() && endpoint && entry.major_version == offered->second.offer.major_version &&
        std::count(offered->second.offer.eventgroups.begin(), offered->second.offer.eventgroups.end(), entry.eventgroup) != 0 &&
        // Notifications only go back to the address that asked for them.
        endpoint->address == sender.ip;
    if (accepted) {
        subscribers_[Subscriber_key{key, entry.eventgroup, Address{endpoint->address, endpoint->port}}] =
            Subscriber{expiry(now, entry.ttl), sender.ip};
    }
    sd::Entry reply;
    reply.type = sd::entry_type::subscribe_eventgroup_ack;
    reply.service_id = entry.service_id;
    reply.instance_id = entry.instance_id;
    reply.major_version = entry.major_version;
    reply.ttl = accepted ? entry.ttl : 0;
    reply.counter = entry.counter;
    reply.eventgroup = entry.eventgroup;
    answer.entries.push_back(reply);
}

Service_discovery::Actions Service_discovery::on_timer(Time now) {
    Actions actions;
    sd::Message due;
    for (auto& [key, state] : offers_) {
        if (state.next_send > now) continue;
        add_offer_entry(due, state.offer, config_.offer_ttl);
        if (state.cyclic) {
            state.next_send = now + config_.cyclic_offer_delay;
        } else if (state.repetitions < config_.repetitions_max) {
            state.next_send = now + config_.repetition_base_delay * (1LL << state.repetitions);
            ++state.repetitions;
        } else {
            state.cyclic = true;
            state.next_send = config_.cyclic_offer_delay.count() > 0 ? now + config_.cyclic_offer_delay : Time::max();
        }
    }
    if (!due.entries.empty()) to_everyone(std::move(due), actions);
    for (auto it = learned_.begin(); it != learned_.end();) {
        if (it->second.expires > now) {
            ++it;
            continue;
        }
        if (offers_.count(it->first) == 0) actions.changes.push_back({it->first, false});
        it = learned_.erase(it);
    }
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        it = it->second.expires <= now ? subscribers_.erase(it) : std::next(it);
    }
    return actions;
}

Service_discovery::Time Service_discovery::next_deadline() const {
    auto due = Time::max();
    for (const auto& entry : offers_) due = std::min(due, entry.second.next_send);
    for (const auto& entry : learned_) due = std::min(due, entry.second.expires);
    for (const auto& entry : subscribers_) due = std::min(due, entry.second.expires);
    return due;
}

}  // namespace rk::com::runtime::someip
