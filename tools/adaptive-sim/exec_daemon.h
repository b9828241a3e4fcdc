// The simulated EM daemon on exec.sock: takes execution states and recovery
// requests, and answers each. Instances named with --refuse are refused.
#pragma once

#include "adaptive-sim/line_daemon.h"
#include "wardex/protocol.h"

#include <set>

namespace adaptive_sim {

class Exec_daemon final : public Line_daemon {
public:
    Exec_daemon(wardex::base::Poll_loop& loop, const std::string& socket_path, std::set<std::string> refused);

private:
    void on_line(Peer& peer, const std::string& line) override;
    // A request whose client has given up on it: complained about, not carried out.
    bool expired(const wardex::protocol::Exec_message& message, const std::string& event);
    // Carries the request out; the answer says whether it was.
    wardex::protocol::Exec_message carry_out(Peer& peer, const wardex::protocol::Exec_message& message,
                                             const std::string& event, const std::string& line);

    std::set<std::string> refused_;
};

}  // namespace adaptive_sim
