#include "wardex/protocol.h"

#include <charconv>
#include <cstdio>

namespace wardex::protocol {
namespace {

bool is_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// Splits "verb rest" at the first blank; rest may be empty.
std::pair<std::string_view, std::string_view> split_verb(std::string_view line) {
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos) return {line, {}};
    return {line.substr(0, blank), line.substr(blank + 1)};
}

// Splits "rest last" at the last blank.
bool split_last(std::string_view text, std::string_view& rest, std::string_view& last) {
    const auto blank = text.rfind(' ');
    if (blank == std::string_view::npos) return false;
    rest = text.substr(0, blank);
    last = text.substr(blank + 1);
    return true;
}

template <typename T>
bool parse_decimal(std::string_view text, T& value) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool take_name(std::string_view text, std::string& name, std::string& error) {
    if (!valid_name(text)) {
        error = "missing or invalid name";
        return false;
    }
    name = std::string(text);
    return true;
}

}  // namespace

Line_splitter::Line_splitter(Line_handler on_line, Overlong_handler on_overlong)
    : on_line_(std::move(on_line)), on_overlong_(std::move(on_overlong)) {}

void Line_splitter::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto newline = bytes.find('\n');
        const auto piece = bytes.substr(0, newline);
        if (!discarding_) {
            if (pending_.size() + piece.size() > kMaxLineLength) {
                pending_.clear();
                discarding_ = true;
                on_overlong_();
            } else {
                pending_.append(piece);
            }
        }
        if (newline == std::string_view::npos) return;
        bytes.remove_prefix(newline + 1);
        if (discarding_) {
            discarding_ = false;
        } else {
            const std::string line = std::move(pending_);
            pending_.clear();
            on_line_(line);
        }
    }
}

bool valid_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxLineLength / 2) return false;
    for (char c : name) {
        if (is_control(c)) return false;
    }
    return true;
}

std::optional<Phm_message> parse_phm_line(std::string_view line, std::string& error) {
    const auto [verb, rest] = split_verb(line);
    Phm_message message;
    if (verb == "subscribe" || verb == "failure") {
        message.kind = verb == "subscribe" ? Phm_message::Kind::kSubscribe : Phm_message::Kind::kFailure;
        if (!take_name(rest, message.name, error)) return std::nullopt;
        return message;
    }
    if (verb == "checkpoint") {
        message.kind = Phm_message::Kind::kCheckpoint;
        std::string_view front, entity, checkpoint, name;
        if (!split_last(rest, front, checkpoint) || !split_last(front, name, entity) ||
            !parse_decimal(entity, message.supervision_entity) ||
            !parse_decimal(checkpoint, message.checkpoint_id)) {
            error = "checkpoint needs a name and two numbers 0...65535";
            return std::nullopt;
        }
        if (!take_name(name, message.name, error)) return std::nullopt;
        return message;
    }
    if (verb == "delivered") {
        message.kind = Phm_message::Kind::kDelivered;
        if (!parse_decimal(rest, message.count)) {
            error = "delivered needs a count";
            return std::nullopt;
        }
        return message;
    }
    if (verb == "watch" && rest.empty() && line.size() == verb.size()) {
        message.kind = Phm_message::Kind::kWatch;
        return message;
    }
    error = "unknown message";
    return std::nullopt;
}

namespace {

bool is_request(Exec_message::Kind kind) {
    return kind == Exec_message::Kind::kState || kind == Exec_message::Kind::kRestart ||
           kind == Exec_message::Kind::kStop || kind == Exec_message::Kind::kResetPlatform;
}

bool is_answer(Exec_message::Kind kind) {
    return kind == Exec_message::Kind::kOk || kind == Exec_message::Kind::kError;
}

std::optional<Exec_message> parse_plain_exec_line(std::string_view line, std::string& error);

// "request <id> <deadline> <line>" or "answer <id> <line>".
std::optional<Exec_message> parse_identified(std::string_view verb, std::string_view rest, std::string& error) {
    const bool request = verb == "request";
    auto [id_text, inner] = split_verb(rest);
    std::uint32_t id = 0;
    std::uint64_t deadline = 0;
    if (!parse_decimal(id_text, id) || id == 0) {
        error = std::string(verb) + " needs an identity 1...4294967295";
        return std::nullopt;
    }
    if (request) {
        const auto [deadline_text, after] = split_verb(inner);
        if (!parse_decimal(deadline_text, deadline)) {
            error = "request needs a deadline in nanoseconds";
            return std::nullopt;
        }
        inner = after;
    }
    auto message = parse_plain_exec_line(inner, error);
    if (!message) return std::nullopt;
    if (request ? !is_request(message->kind) : !is_answer(message->kind)) {
        error = request ? "request carries no request" : "answer carries no answer";
        return std::nullopt;
    }
    message->id = id;
    message->deadline_ns = deadline;
    return message;
}

std::optional<Exec_message> parse_plain_exec_line(std::string_view line, std::string& error) {
    const auto [verb, rest] = split_verb(line);
    Exec_message message;
    if (verb == "restart" || verb == "stop") {
        message.kind = verb == "restart" ? Exec_message::Kind::kRestart : Exec_message::Kind::kStop;
        if (!take_name(rest, message.name, error)) return std::nullopt;
        return message;
    }
    if (verb == "state") {
        message.kind = Exec_message::Kind::kState;
        std::string_view name, state;
        if (!split_last(rest, name, state) || (state != "kRunning" && state != "kShuttingdown")) {
            error = "state needs a name and kRunning or kShuttingdown";
            return std::nullopt;
        }
        if (!take_name(name, message.name, error)) return std::nullopt;
        message.state = std::string(state);
        return message;
    }
    if (verb == "reset-platform") {
        message.kind = Exec_message::Kind::kResetPlatform;
        if (!parse_decimal(rest, message.number)) {
            error = "reset-platform needs a delay 0...2147483647";
            return std::nullopt;
        }
        return message;
    }
    if (verb == "error") {
        message.kind = Exec_message::Kind::kError;
        const auto [code, text] = split_verb(rest);
        if (!parse_decimal(code, message.number) || message.number <= 0 || message.number > 4095) {
            error = "error needs an errno 1...4095";
            return std::nullopt;
        }
        message.name = std::string(text);
        return message;
    }
    if ((verb == "ok" || verb == "watch") && line.size() == verb.size()) {
        message.kind = verb == "ok" ? Exec_message::Kind::kOk : Exec_message::Kind::kWatch;
        return message;
    }
    error = "unknown message";
    return std::nullopt;
}

}  // namespace

std::optional<Exec_message> parse_exec_line(std::string_view line, std::string& error) {
    const auto [verb, rest] = split_verb(line);
    if (verb == "request" || verb == "answer") return parse_identified(verb, rest, error);
    return parse_plain_exec_line(line, error);
}

std::string format(const Phm_message& message) {
    switch (message.kind) {
        case Phm_message::Kind::kSubscribe: return "subscribe " + message.name;
        case Phm_message::Kind::kFailure: return "failure " + message.name;
        case Phm_message::Kind::kCheckpoint:
            return "checkpoint " + message.name + " " + std::to_string(message.supervision_entity) +
                   " " + std::to_string(message.checkpoint_id);
        case Phm_message::Kind::kDelivered: return "delivered " + std::to_string(message.count);
        case Phm_message::Kind::kWatch: return "watch";
    }
    return {};
}

std::string format(const Exec_message& message) {
    if (message.id != 0) {
        Exec_message plain = message;
        plain.id = 0;
        const std::string id = std::to_string(message.id);
        if (is_answer(message.kind)) return "answer " + id + " " + format(plain);
        return "request " + id + " " + std::to_string(message.deadline_ns) + " " + format(plain);
    }
    switch (message.kind) {
        case Exec_message::Kind::kState: return "state " + message.name + " " + message.state;
        case Exec_message::Kind::kRestart: return "restart " + message.name;
        case Exec_message::Kind::kStop: return "stop " + message.name;
        case Exec_message::Kind::kResetPlatform: return "reset-platform " + std::to_string(message.number);
        case Exec_message::Kind::kWatch: return "watch";
        case Exec_message::Kind::kOk: return "ok";
        case Exec_message::Kind::kError:
            return "error " + std::to_string(message.number) + " " + message.name;
    }
    return {};
}

std::string printable(std::string_view line) {
    constexpr std::size_t kShown = 80;
    std::string result;
    for (std::size_t i = 0; i < line.size() && i < kShown; ++i) {
        const char c = line[i];
        if (is_control(c) || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            result += escaped;
        } else {
            result += c;
        }
    }
    if (line.size() > kShown) result += "...";
    return result;
}

}  // namespace wardex::protocol
