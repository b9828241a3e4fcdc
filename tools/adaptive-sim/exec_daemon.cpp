#include "adaptive-sim/exec_daemon.h"

#include "adaptive-sim/event_output.h"
#include "wardex/protocol.h"

#include <cerrno>

namespace adaptive_sim {

using wardex::protocol::Exec_message;

Exec_daemon::Exec_daemon(wardex::base::Poll_loop& loop, const std::string& socket_path,
                         std::set<std::string> refused)
    : Line_daemon("exec", loop, socket_path), refused_(std::move(refused)) {}

namespace {

Exec_message error_answer(std::uint32_t id, int number, const std::string& name) {
    Exec_message answer;
    answer.kind = Exec_message::Kind::kError;
    answer.id = id;
    answer.number = number;
    answer.name = name;
    return answer;
}

}  // namespace

void Exec_daemon::on_line(Peer& peer, const std::string& line) {
    std::string error;
    const auto message = wardex::protocol::parse_exec_line(line, error);
    if (!message) {
        complain("ignored line \"" + wardex::protocol::printable(line) + "\": " + error);
        send(peer, wardex::protocol::format(error_answer(0, EBADMSG, error)));
        return;
    }
    // The event shows the request as it would be written without identity.
    Exec_message plain = *message;
    plain.id = 0;
    const std::string event = wardex::protocol::format(plain);
    if (expired(*message, event)) {
        send(peer, wardex::protocol::format(error_answer(message->id, ETIME, "request expired")));
        return;
    }
    send(peer, wardex::protocol::format(carry_out(peer, *message, event, line)));
}

bool Exec_daemon::expired(const Exec_message& message, const std::string& event) {
    const long long now = monotonic_ns();
    if (message.id == 0 || static_cast<unsigned long long>(now) <= message.deadline_ns ||
        message.kind == Exec_message::Kind::kOk || message.kind == Exec_message::Kind::kError) {
        return false;
    }
    // The client has given up on it and logged it as failed.
    complain("request " + std::to_string(message.id) + " came " +
             std::to_string((static_cast<unsigned long long>(now) - message.deadline_ns) / 1000000) +
             " ms after its deadline, not carried out: " + event);
    return true;
}

Exec_message Exec_daemon::carry_out(Peer& peer, const Exec_message& message, const std::string& event,
                                    const std::string& line) {
    Exec_message answer;
    answer.kind = Exec_message::Kind::kOk;
    answer.id = message.id;
    switch (message.kind) {
        case Exec_message::Kind::kState:
        case Exec_message::Kind::kResetPlatform:
            publish(event);
            break;
        case Exec_message::Kind::kRestart:
        case Exec_message::Kind::kStop:
            if (refused_.count(message.name) == 0) {
                publish(event);
                break;
            }
            publish(event + " refused");
            return error_answer(message.id, EPERM, "instance " + message.name + " is not under execution management");
        case Exec_message::Kind::kWatch:
            peer.watching = true;
            break;
        case Exec_message::Kind::kOk:
        case Exec_message::Kind::kError:
            complain("ignored line \"" + wardex::protocol::printable(line) + "\": not a request");
            return error_answer(0, EBADMSG, "not a request");
    }
    return answer;
}

}  // namespace adaptive_sim
