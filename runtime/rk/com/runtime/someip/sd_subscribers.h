// Other processes' subscriptions to the eventgroups offered here: who gets
// the notifications of each eventgroup and until when. Looked up by hash.
// Each eventgroup holds at most a bounded number of subscribers, and at most
// a few endpoints of one address, so that one host cannot fill it; expired
// subscribers make room, a live one is never dropped for a newcomer.
#pragma once

#include "rk/com/runtime/someip/sd_types.h"

#include <chrono>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace rk::com::runtime::someip {

class Sd_subscribers {
public:
    using Time = std::chrono::steady_clock::time_point;

    Sd_subscribers(std::size_t limit_per_eventgroup, std::size_t limit_per_address)
        : limit_(limit_per_eventgroup), per_address_(limit_per_address) {}

    enum class Added { yes, eventgroup_full, address_full };
    // Adds or renews a subscriber; a newcomer is refused while the eventgroup,
    // or its address's share of it, is full.
    Added add(Instance_key key, std::uint16_t eventgroup, Address receiver, Time expires, std::uint32_t origin_ip,
              Time now);
    // Only the address that subscribed (origin_ip) ends a subscription.
    void remove(Instance_key key, std::uint16_t eventgroup, Address receiver, std::uint32_t origin_ip);
    // Every subscriber of an instance, or every one a peer made.
    void remove_instance(Instance_key key);
    void remove_origin(std::uint32_t origin_ip);
    std::vector<Address> live(Instance_key key, std::uint16_t eventgroup, Time now) const;
    bool has_origin(std::uint32_t origin_ip) const;
    void expire(Time now);
    Time next_expiry() const;

private:
    struct Subscriber {
        Time expires{};
        std::uint32_t origin_ip{0};
    };
    struct Group_key {
        Instance_key instance;
        std::uint16_t eventgroup;
        friend bool operator==(const Group_key& a, const Group_key& b) {
            return a.instance == b.instance && a.eventgroup == b.eventgroup;
        }
    };
    struct Group_hash {
        std::size_t operator()(const Group_key& k) const noexcept {
            return (std::size_t{k.instance.service} << 32) | (std::size_t{k.instance.instance} << 16) | k.eventgroup;
        }
    };
    using Group = std::unordered_map<Address, Subscriber, Address_hash>;

    const std::size_t limit_;
    const std::size_t per_address_;
    std::unordered_map<Group_key, Group, Group_hash> groups_;
};

}  // namespace rk::com::runtime::someip
