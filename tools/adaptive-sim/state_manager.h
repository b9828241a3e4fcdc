// The simulated state manager: provides tq::ap::statemanager::DSAInterface
// over SOME/IP on the deployment's endpoint (127.0.0.2:30503 by default) and
// prints "sm restart-request <id>" for each RequestRestart it receives.
#pragma once

#include "adaptive-sim/line_daemon.h"
#include "rk/com/runtime/someip/udp_transport.h"

#include <memory>

namespace adaptive_sim {

class State_manager final : public Platform_service {
public:
    // Complains on stderr and carries on when the endpoint is taken.
    State_manager();
    ~State_manager() override;

private:
    std::unique_ptr<rk::com::runtime::someip::Udp_transport> transport_;
};

}  // namespace adaptive_sim
