// The line protocol spoken on the platform sockets phm.sock and exec.sock:
// splitting a byte stream into lines, and reading and writing each message.
// Every message is one line of printable text ended by '\n'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace wardex::protocol {

// Longest line accepted, without its '\n'.
constexpr std::size_t kMaxLineLength = 1024;

// Cuts a byte stream into lines. A line longer than kMaxLineLength is dropped
// up to its '\n' and reported once through on_overlong.
class Line_splitter {
public:
    using Line_handler = std::function<void(std::string_view line)>;
    using Overlong_handler = std::function<void()>;

    Line_splitter(Line_handler on_line, Overlong_handler on_overlong);

    void feed(std::string_view bytes);

private:
    Line_handler on_line_;
    Overlong_handler on_overlong_;
    std::string pending_;
    bool discarding_ = false;
};

// A name (callback name, instance name, process name) as it may appear on a
// line: not empty, at most kMaxLineLength / 2 bytes, no control characters.
bool valid_name(std::string_view name);

// Messages of phm.sock.
struct Phm_message {
    enum class Kind {
        kSubscribe,   // client -> daemon: "subscribe <callback name>"
        kCheckpoint,  // client -> daemon: "checkpoint <client name> <entity> <checkpoint>"
        kFailure,     // both ways: "failure <callback name>"
        kDelivered,   // daemon -> injector: "delivered <number of clients>"
        kWatch,       // client -> daemon: "watch"
    };
    Kind kind = Kind::kSubscribe;
    std::string name;
    std::uint16_t supervision_entity = 0;
    std::uint16_t checkpoint_id = 0;
    std::uint32_t count = 0;
};

// Messages of exec.sock.
struct Exec_message {
    enum class Kind {
        kState,          // client -> daemon: "state <process name> kRunning|kShuttingdown"
        kRestart,        // client -> daemon: "restart <instance>"
        kStop,           // client -> daemon: "stop <instance>"
        kResetPlatform,  // client -> daemon: "reset-platform <delay ms>"
        kWatch,          // client -> daemon: "watch"
        kOk,             // daemon -> client: "ok"
        kError,          // daemon -> client: "error <errno> <text>"
    };
    Kind kind = Kind::kOk;
    std::string name;   // process or instance name, state name, or error text
    std::string state;  // kRunning or kShuttingdown
    std::int32_t number = 0;  // delay ms or errno
    // A request with an identity is written "request <id> <deadline> <line>",
    // its answer "answer <id> <line>"; 0 for a line without one.
    std::uint32_t id = 0;
    // Of a request with an identity: the CLOCK_MONOTONIC time in nanoseconds
    // after which EM no longer carries it out.
    std::uint64_t deadline_ns = 0;
};

// Both parsers return nothing for a line that is not a message and describe
// why in error.
std::optional<Phm_message> parse_phm_line(std::string_view line, std::string& error);
std::optional<Exec_message> parse_exec_line(std::string_view line, std::string& error);

// The line of a message, without its '\n'.
std::string format(const Phm_message& message);
std::string format(const Exec_message& message);

// A line shown in logs: control characters escaped, cut after 80 characters.
std::string printable(std::string_view line);

}  // namespace wardex::protocol
