#include "rk/com/runtime/someip/sd_subscribers.h"

#include <algorithm>

namespace rk::com::runtime::someip {

Sd_subscribers::Added Sd_subscribers::add(Instance_key key, std::uint16_t eventgroup, Address receiver,
                                           Time expires, std::uint32_t origin_ip, Time now) {
    Group& group = groups_[Group_key{key, eventgroup}];
    auto found = group.find(receiver);
    if (found == group.end() || found->second.expires <= now) {
        for (auto it = group.begin(); it != group.end();)
            it = it->second.expires <= now ? group.erase(it) : std::next(it);
        const auto same_address = std::count_if(group.begin(), group.end(),
                                                [&](const auto& entry) { return entry.first.ip == receiver.ip; });
        if (limit_ > 0 && group.size() >= limit_) return Added::eventgroup_full;
        if (per_address_ > 0 && static_cast<std::size_t>(same_address) >= per_address_) return Added::address_full;
    }
    group[receiver] = Subscriber{expires, origin_ip};
    return Added::yes;
}

void Sd_subscribers::remove(Instance_key key, std::uint16_t eventgroup, Address receiver, std::uint32_t origin_ip) {
    auto found = groups_.find(Group_key{key, eventgroup});
    if (found == groups_.end()) return;
    auto subscriber = found->second.find(receiver);
    if (subscriber == found->second.end() || subscriber->second.origin_ip != origin_ip) return;
    found->second.erase(subscriber);
    if (found->second.empty()) groups_.erase(found);
}

void Sd_subscribers::remove_instance(Instance_key key) {
    for (auto it = groups_.begin(); it != groups_.end();)
        it = it->first.instance == key ? groups_.erase(it) : std::next(it);
}

void Sd_subscribers::remove_origin(std::uint32_t origin_ip) {
    for (auto& entry : groups_) {
        auto& group = entry.second;
        for (auto it = group.begin(); it != group.end();)
            it = it->second.origin_ip == origin_ip ? group.erase(it) : std::next(it);
    }
}

std::vector<Address> Sd_subscribers::live(Instance_key key, std::uint16_t eventgroup,
                                          Time now) const {
    std::vector<Address> result;
    auto found = groups_.find(Group_key{key, eventgroup});
    if (found == groups_.end()) return result;
    for (const auto& entry : found->second) {
        if (entry.second.expires > now) result.push_back(entry.first);
    }
    // Notifications go out in a stable order.
    std::sort(result.begin(), result.end());
    return result;
}

bool Sd_subscribers::has_origin(std::uint32_t origin_ip) const {
    for (const auto& entry : groups_) {
        for (const auto& subscriber : entry.second) {
            if (subscriber.second.origin_ip == origin_ip) return true;
        }
    }
    return false;
}

void Sd_subscribers::expire(Time now) {
    for (auto group = groups_.begin(); group != groups_.end();) {
        auto& members = group->second;
        for (auto it = members.begin(); it != members.end();)
            it = it->second.expires <= now ? members.erase(it) : std::next(it);
        group = members.empty() ? groups_.erase(group) : std::next(group);
    }
}

Sd_subscribers::Time Sd_subscribers::next_expiry() const {
    auto due = Time::max();
    for (const auto& group : groups_) {
        for (const auto& entry : group.second) due = std::min(due, entry.second.expires);
    }
    return due;
}

}  // namespace rk::com::runtime::someip
