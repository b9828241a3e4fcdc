// The simulated PHM daemon on phm.sock: takes alive checkpoints and callback
// subscriptions, and passes injected supervision failures on to subscribers.
#pragma once

#include "adaptive-sim/line_daemon.h"

namespace adaptive_sim {

class Phm_daemon final : public Line_daemon {
public:
    Phm_daemon(wardex::base::Poll_loop& loop, const std::string& socket_path);

private:
    void on_line(Peer& peer, const std::string& line) override;
};

}  // namespace adaptive_sim
