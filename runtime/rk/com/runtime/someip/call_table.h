// The calls this process waits on: one per session id, each with its
// deadline. Session ids count 1…0xFFFF and wrap to 1; a reply is taken only
// when its session, service and method match a waiting call.
#pragma once

#include "rk/com/runtime/transport.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace rk::com::runtime::someip {

class Call_table {
public:
    using Clock = std::chrono::steady_clock;

    explicit Call_table(std::chrono::milliseconds timeout) : timeout_(timeout) {}

    struct Ticket {
        std::uint16_t session;
        std::uint64_t serial;
        // No other call was waiting: the deadline is the table's next one.
        bool earliest{false};
    };
    // Waits for the reply to a call to be sent now; nothing when every
    // session id is still waiting (the handler is then handed back untouched).
    std::optional<Ticket> add(std::uint16_t service_id, std::uint16_t method_id, Response_handler& handler);
    // The handler of the waiting call the reply belongs to, or an empty one.
    Response_handler complete(std::uint16_t session, std::uint16_t service_id, std::uint16_t method_id);
    // Takes back a call whose request could not be sent.
    Response_handler cancel(const Ticket& ticket);
    // The handlers of the calls whose time ran out.
    std::vector<Response_handler> expire(Clock::time_point now);
    Clock::time_point next_deadline();
    std::vector<Response_handler> drop_all();

private:
    struct Pending {
        std::uint64_t serial;
        std::uint16_t service_id;
        std::uint16_t method_id;
        Response_handler handler;
    };
    struct Deadline {
        Clock::time_point at;
        Ticket ticket;
    };
    bool waiting(const Ticket& ticket) const;

    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::uint16_t next_session_{1};
    std::uint64_t next_serial_{1};
    std::unordered_map<std::uint16_t, Pending> pending_;
    // In the order of their deadlines: every call waits the same time.
    std::deque<Deadline> deadlines_;
};

}  // namespace rk::com::runtime::someip
