#include "wardex/limited_warnings.h"

#include <tuple>
#include <vector>

namespace wardex::log {

Limited_warnings::Limited_warnings(Clock::duration interval, std::size_t max_keys)
    : interval_(interval), max_keys_(max_keys) {}

Limited_warnings::Admission Limited_warnings::admit(std::string_view kind, std::string_view peer,
                                                    Clock::time_point now) {
    std::string key(kind);
    if (!peer.empty()) key.append(1, '\0').append(peer);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = spells_.find(key);
    if (found == spells_.end()) {
        // Spells that ended make room, looked for at most once an interval so
        // that a flood from ever new peers does not scan the table each time.
        // Until one ended, a new peer shares its kind's count.
        if (spells_.size() >= max_keys_ && now - last_sweep_ >= interval_) sweep(now);
        if (spells_.size() >= max_keys_) key.assign(kind);
        bool created = false;
        std::tie(found, created) = spells_.try_emplace(std::move(key));
        if (created) {
            found->second.last_logged = now;
            return Admission{true, 0};
        }
    }
    Spell& spell = found->second;
    if (now - spell.last_logged < interval_) {
        ++spell.left_out;
        return Admission{false, 0};
    }
    const Admission admission{true, spell.left_out};
    spell = Spell{now, 0};
    return admission;
}

void Limited_warnings::sweep(Clock::time_point now) {
    last_sweep_ = now;
    // A peer that went quiet with warnings left out hands their count to its
    // kind's own spell, which logs it with the next warning of the kind that
    // has no peer of its own: counts are never lost, and quiet peers never
    // keep the table full.
    std::vector<std::pair<std::string, std::uint64_t>> handed_on;
    for (auto it = spells_.begin(); it != spells_.end();) {
        const auto separator = it->first.find('\0');
        if (now - it->second.last_logged < interval_ ||
            (it->second.left_out > 0 && separator == std::string::npos)) {
            ++it;
            continue;
        }
        if (it->second.left_out > 0) handed_on.emplace_back(it->first.substr(0, separator), it->second.left_out);
        it = spells_.erase(it);
    }
    // One spell per kind at most: the table stays bounded.
    for (const auto& [kind, count] : handed_on) spells_[kind].left_out += count;
}

void Limited_warnings::log_left_out(const ara::log::Logger& logger, std::string_view kind,
                                    std::string_view peer, std::uint64_t count) {
    auto stream = logger.LogWarn();
    stream << static_cast<unsigned long long>(count) << "more warnings like"
           << "\"" + std::string(kind) + "\""
           << "left out";
    if (!peer.empty()) stream << "for" << peer;
}

Limited_warnings& limited_warnings() {
    static auto* limiter = new Limited_warnings();
    return *limiter;
}

}  // namespace wardex::log
