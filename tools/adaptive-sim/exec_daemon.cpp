#include "adaptive-sim/exec_daemon.h"

#include "adaptive-sim/event_output.h"
#include "wardex/protocol.h"

#include <cerrno>

namespace adaptive_sim {

using wardex::protocol::Exec_message;

Exec_daemon::Exec_daemon(wardex::base::Poll_loop& loop, const std::string& socket_path,
                         std::set<std::string> refused)
    : Line_daemon("exec", loop, socket_path), refused_(std::move(refused)) {}

void Exec_daemon::on_line(Peer& peer, const std::string& line) {
    std::string error;
    const auto message = wardex::protocol::parse_exec_line(line, error);
    Exec_message answer;
    answer.kind = Exec_message::Kind::kOk;
    if (!message) {
        complain("ignored line \"" + wardex::protocol::printable(line) + "\": " + error);
        answer.kind = Exec_message::Kind::kError;
        answer.number = EBADMSG;
        answer.name = error;
        send(peer, wardex::protocol::format(answer));
        return;
    }
    answer.id = message->id;
    // The event shows the request as it would be written without identity.
    Exec_message plain = *message;
    plain.id = 0;
    const std::string event = wardex::protocol::format(plain);
    const long long now = monotonic_ns();
    if (message->id != 0 && static_cast<unsigned long long>(now) > message->deadline_ns &&
        message->kind != Exec_message::Kind::kOk && message->kind != Exec_message::Kind::kError) {
        // The client has given up on it and logged it as failed.
        complain("request " + std::to_string(message->id) + " came " +
                 std::to_string((static_cast<unsigned long long>(now) - message->deadline_ns) / 1000000) +
                 " ms after its deadline, not carried out: " + event);
        answer.kind = Exec_message::Kind::kError;
        answer.number = ETIME;
        answer.name = "request expired";
        send(peer, wardex::protocol::format(answer));
        return;
    }
    switch (message->kind) {
        case Exec_message::Kind::kState:
        case Exec_message::Kind::kResetPlatform:
            publish(event);
            break;
        case Exec_message::Kind::kRestart:
        case Exec_message::Kind::kStop:
            if (refused_.count(message->name) != 0) {
                publish(event + " refused");
                answer.kind = Exec_message::Kind::kError;
                answer.number = EPERM;
                answer.name = "instance " + message->name + " is not under execution management";
            } else {
                publish(event);
            }
            break;
        case Exec_message::Kind::kWatch:
            peer.watching = true;
            break;
        case Exec_message::Kind::kOk:
        case Exec_message::Kind::kError:
            complain("ignored line \"" + wardex::protocol::printable(line) + "\": not a request");
            answer.kind = Exec_message::Kind::kError;
            answer.number = EBADMSG;
            answer.name = "not a request";
            answer.id = 0;
            break;
    }
    send(peer, wardex::protocol::format(answer));
}

}  // namespace adaptive_sim
