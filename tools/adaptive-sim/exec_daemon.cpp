#include "adaptive-sim/exec_daemon.h"

#include "wardex/protocol.h"

#include <cerrno>

namespace adaptive_sim {

using wardex::protocol::Exec_message;

Exec_daemon::Exec_daemon(Event_loop& loop, const std::string& socket_path,
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
    } else {
        switch (message->kind) {
            case Exec_message::Kind::kState:
            case Exec_message::Kind::kResetPlatform:
                publish(line);
                break;
            case Exec_message::Kind::kRestart:
            case Exec_message::Kind::kStop:
                if (refused_.count(message->name) != 0) {
                    publish(line + " refused");
                    answer.kind = Exec_message::Kind::kError;
                    answer.number = EPERM;
                    answer.name = "instance " + message->name + " is not under execution management";
                } else {
                    publish(line);
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
                break;
        }
    }
    send(peer, wardex::protocol::format(answer));
}

}  // namespace adaptive_sim
