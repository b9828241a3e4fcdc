// SOME/IP for the simulated platform: the platform's deployment (the
// installed file or the compiled-in one) with the tester's own client id and
// a unicast address of its own, as a separate ECU would have, and one call
// at a time through the runtime's UDP transport.
#pragma once

#include "rk/com/runtime/someip/udp_transport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace adaptive_sim {

// The client id of the simulated diagnostic tester and state manager.
constexpr std::uint16_t kTesterClientId = 0x7E57;

// The platform's SOME/IP side (the state manager) runs on this address.
constexpr const char* kPlatformAddress = "127.0.0.2";

// The address given with --address, or empty.
std::string& chosen_address();

rk::com::runtime::someip::Deployment sim_deployment(const std::string& unicast);

// A transport of the platform on its address (or the chosen one).
std::unique_ptr<rk::com::runtime::someip::Udp_transport> platform_transport();
// A transport of one tester: on the chosen address, or else on the first
// loopback address from 127.0.0.10 on whose discovery port is free, so that
// several testers run side by side, each its own discovery participant.
std::unique_ptr<rk::com::runtime::someip::Udp_transport> tester_transport();

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
