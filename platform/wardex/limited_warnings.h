// Warnings caused by what others send (a datagram, a line from a daemon):
// anyone who can send can otherwise fill the log. Each kind of warning, and
// each peer of a kind, is logged at most once a second; the first line after
// some were left out is preceded by one that counts them:
//   42 more warnings like "SOME/IP reply not sent" left out for 127.0.0.1:5000
// A bounded number of (kind, peer) pairs is followed; beyond it the peers of
// a kind share one count, and the count of a peer that went quiet is handed
// on to that shared one. Thread-safe.
#pragma once

#include "ara/log/logging.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace wardex::log {

class Limited_warnings {
  public:
    using Clock = std::chrono::steady_clock;

    struct Admission {
        // Whether this warning is to be logged.
        bool admitted{false};
        // How many of its kind (and peer) were left out since the last one logged.
        std::uint64_t left_out{0};
        explicit operator bool() const noexcept { return admitted; }
    };

    explicit Limited_warnings(Clock::duration interval = std::chrono::seconds(1),
                              std::size_t max_keys = 256);

    // Decides about one warning of kind, caused by peer (empty: no peer).
    Admission admit(std::string_view kind, std::string_view peer, Clock::time_point now);

    // Logs a warning on logger when it is admitted: first the count of those
    // left out, then the warning itself, written by write(LogStream&). True
    // when it was logged.
    template <typename Write>
    bool warn(const ara::log::Logger& logger, std::string_view kind, std::string_view peer,
              Write&& write, Clock::time_point now = Clock::now()) {
        const Admission admission = admit(kind, peer, now);
        if (!admission) return false;
        if (admission.left_out > 0) log_left_out(logger, kind, peer, admission.left_out);
        auto stream = logger.LogWarn();
        std::forward<Write>(write)(stream);
        return true;
    }

  private:
    struct Spell {
        Clock::time_point last_logged{};
        std::uint64_t left_out{0};
    };
    void sweep(Clock::time_point now);
    static void log_left_out(const ara::log::Logger& logger, std::string_view kind,
                             std::string_view peer, std::uint64_t count);

    const Clock::duration interval_;
    const std::size_t max_keys_;
    std::mutex mutex_;
    std::unordered_map<std::string, Spell> spells_;
    Clock::time_point last_sweep_{};
};

// The process's one limiter, shared by every place that logs such warnings.
// Never destroyed.
Limited_warnings& limited_warnings();

}  // namespace wardex::log
