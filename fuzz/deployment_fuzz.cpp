// Arbitrary bytes as the SOME/IP deployment file: the parser either gives a
// deployment that keeps its own limits or refuses with Deployment_error,
// never with another exception and never with a crash.
#include "rk/com/runtime/someip/deployment.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rk::com::runtime::someip;
    Deployment deployment;
    try {
        deployment = parse_deployment(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json");
    } catch (const Deployment_error&) {
        return 0;
    }
    if (deployment.call_timeout.count() < 1) __builtin_trap();
    for (const auto& service : deployment.services) {
        if (service.service_id > 0xFFFE) __builtin_trap();
        if (deployment.find_service(service.interface) == nullptr) __builtin_trap();
    }
    return 0;
}
