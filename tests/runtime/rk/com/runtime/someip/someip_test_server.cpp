// A SOME/IP server for wire tests from outside the process:
//   someip_test_server <data identifier port> [<discovery port> [<group>]]
// offers the data identifier on 127.0.0.1 (port 0: the system's choice) and
// the DTC monitor on a port of the system's choice, through discovery when a
// discovery port is given. Read answers count 1, data 12 34 when its map
// decodes, 0x80 otherwise; Cancel answers empty. Prints "ready <data
// identifier port> <monitor port> <discovery port or 0>"; on standard input,
// "event <n>" sends MonitorAction with the byte n and prints "sent <n>",
// "wait-subscriber" prints "subscribed" once somebody subscribed; ends when
// standard input closes.
#include "rk/com/runtime/someip/udp_transport.h"
#include "rk/com/someip/serialization/deserializer.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace rk::com::runtime;
using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Serialized_payload;

Serialized_payload bytes(Payload_buffer content) {
    return Serialized_payload(Serialized_payload::someip, std::make_shared<Payload_buffer>(std::move(content)));
}

class Canned_data_identifier final : public Request_handler {
public:
    void on_request(std::uint16_t method_id, std::uint16_t, Serialized_payload request, Reply_function reply) override {
        if (!reply) return;
        const Payload_buffer content = request.payload();
        std::map<std::string, std::string> meta;
        try {
            rk::com::someip::serialization::Deserializer deserializer(content);
            deserializer.deserialize(meta);
        } catch (const std::exception&) {
            return reply(return_code::request_failed, Serialized_payload());
        }
        if (method_id != 1) return reply(return_code::ok, bytes({}));
        reply(return_code::ok, bytes({0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x12, 0x34}));
    }
};

class Silent_monitor final : public Request_handler {
public:
    void on_request(std::uint16_t, std::uint16_t, Serialized_payload, Reply_function reply) override {
        if (reply) reply(return_code::ok, bytes({}));
    }
};

}  // namespace

int main(int argc, char** argv) {
    const auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0);
    auto deployment = someip::default_deployment();
    deployment.service_discovery.enabled = argc > 2;
    if (argc > 2) deployment.service_discovery.port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    if (argc > 3) deployment.service_discovery.multicast = argv[3];
    const std::string interface = "orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets";
    const std::string monitor_interface = "rk::dm::dem::DiagnosticMonitor";
    for (auto& service : deployment.services) {
        if (service.interface == interface) service.instances.at(0).port = port;
        if (service.interface == monitor_interface) service.instances.at(0).port = 0;
    }
    someip::Udp_transport transport(deployment);
    using tq::com::runtime::Instance_id;
    using tq::com::runtime::Service_id;
    const rk::com::cpp_binding::Service_info service{Service_id(interface), Instance_id("1")};
    const rk::com::cpp_binding::Service_info monitor{Service_id(monitor_interface), Instance_id("479232")};
    transport.offer(service, {0, 2}, std::make_shared<Canned_data_identifier>());
    transport.offer(monitor, {1, 1}, std::make_shared<Silent_monitor>());
    const auto bound = transport.bound_port(service);
    const auto monitor_port = transport.bound_port(monitor);
    if (!bound || !monitor_port) return 1;
    std::cout << "ready " << *bound << " " << *monitor_port << " " << transport.discovery_port().value_or(0)
              << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string word;
        int value = 0;
        if (line == "wait-subscriber") {
            while (transport.subscriber_count(monitor) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::cout << "subscribed" << std::endl;
        } else if (words >> word >> value && word == "event") {
            const auto byte = static_cast<std::uint8_t>(value);
            transport.send_event(monitor, 0, {bytes({byte})});
            std::cout << "sent " << value << std::endl;
        }
    }
    transport.stop_offer(monitor);
    transport.stop_offer(service);
    return 0;
}
