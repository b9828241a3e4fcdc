#include "adaptive-sim/phm_daemon.h"

#include "wardex/protocol.h"

namespace adaptive_sim {

using wardex::protocol::Phm_message;

Phm_daemon::Phm_daemon(wardex::base::Poll_loop& loop, const std::string& socket_path)
    : Line_daemon("phm", loop, socket_path) {}

void Phm_daemon::on_line(Peer& peer, const std::string& line) {
    std::string error;
    const auto message = wardex::protocol::parse_phm_line(line, error);
    if (!message) {
        complain("ignored line \"" + wardex::protocol::printable(line) + "\": " + error);
        return;
    }
    switch (message->kind) {
        case Phm_message::Kind::kSubscribe:
            peer.subscriptions.insert(message->name);
            publish(line);
            return;
        case Phm_message::Kind::kCheckpoint:
            publish(line);
            return;
        case Phm_message::Kind::kFailure: {
            publish(line);
            Phm_message delivered;
            delivered.kind = Phm_message::Kind::kDelivered;
            for (auto& entry : peers()) {
                if (entry.second->subscriptions.count(message->name) != 0 &&
                    send(*entry.second, line)) {
                    ++delivered.count;
                }
            }
            send(peer, wardex::protocol::format(delivered));
            return;
        }
        case Phm_message::Kind::kWatch:
            peer.watching = true;
            return;
        case Phm_message::Kind::kDelivered:
            break;
    }
    complain("ignored line \"" + wardex::protocol::printable(line) + "\": not a request");
}

}  // namespace adaptive_sim
