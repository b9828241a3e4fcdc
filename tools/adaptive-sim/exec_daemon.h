// The simulated EM daemon on exec.sock: takes execution states and recovery
// requests, and answers each. Instances named with --refuse are refused.
#pragma once

#include "adaptive-sim/line_daemon.h"

#include <set>

namespace adaptive_sim {

class Exec_daemon final : public Line_daemon {
public:
    Exec_daemon(wardex::base::Poll_loop& loop, const std::string& socket_path, std::set<std::string> refused);

private:
    void on_line(Peer& peer, const std::string& line) override;

    std::set<std::string> refused_;
};

}  // namespace adaptive_sim
