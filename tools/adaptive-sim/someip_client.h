// SOME/IP for the simulated platform: the platform's deployment (the
// installed file or the compiled-in one) with the tester's own client id,
// and one call at a time through the runtime's UDP transport.
#pragma once

#include "rk/com/runtime/someip/udp_transport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace adaptive_sim {

// The client id of the simulated diagnostic tester and state manager.
constexpr std::uint16_t kTesterClientId = 0x7E57;

rk::com::runtime::someip::Deployment sim_deployment();

struct Call_result {
    std::uint8_t code;
    std::vector<std::uint8_t> payload;
};

// Calls method_id (the interface's method number) of instance "instance" of
// the interface and waits for the outcome: first for the instance's offer
// (0xFF when none comes within the call time-out), then for the reply (the
// transport's time-out ends it).
Call_result call(rk::com::runtime::someip::Udp_transport& transport, const std::string& interface,
                 const std::string& instance, std::uint16_t method_id, std::vector<std::uint8_t> request);

std::string hex_bytes(const std::vector<std::uint8_t>& bytes);

}  // namespace adaptive_sim
