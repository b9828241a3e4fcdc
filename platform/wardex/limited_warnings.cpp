#include "wardex/limited_warnings.h"

#include <tuple>

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
        if (spells_.size() >= max_keys_) {
            // Spells that ended leave; if none did, this peer shares its kind's count.
            for (auto it = spells_.begin(); it != spells_.end();)
                it = now - it->second.last_logged >= interval_ && it->second.left_out == 0
                         ? spells_.erase(it)
                         : std::next(it);
            if (spells_.size() >= max_keys_) key.assign(kind);
        }
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
