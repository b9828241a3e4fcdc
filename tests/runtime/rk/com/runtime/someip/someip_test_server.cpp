// A small SOME/IP server for wire tests from outside the process: offers the
// data identifier service ids on 127.0.0.1 (port given, 0 for one of the
// system's choice) with a canned provider, and the DTC monitor's ids on a
// port of the system's choice. Read answers count 1 and data 12 34 when its
// meta-information map decodes, and fails (0x80) otherwise; Cancel answers
// empty. With a discovery port (and group) given, both are offered through
// service discovery there; without, discovery is off.
// Prints "ready <data identifier port> <monitor port> <discovery port>" once
// listening (discovery port 0 when off); each line "event <n>" on standard
// input sends MonitorAction with the byte n and prints "sent <n>"; the line
// "wait-subscriber" prints "subscribed" once another process subscribed to
// it; runs until its standard input closes.
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

class Canned_data_identifier final : public Request_handler {
public:
    void on_request(std::uint16_t method_id, std::uint16_t, Serialized_payload request, Reply_function reply) override {
        if (!reply) return;
        const Payload_buffer bytes = request.payload();
        std::map<std::string, std::string> meta;
        try {
            rk::com::someip::serialization::Deserializer deserializer(bytes);
            deserializer.deserialize(meta);
        } catch (const std::exception&) {
            return reply(return_code::request_failed, Serialized_payload());
        }
        Payload_buffer result;
        if (method_id == 1) result = {0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x12, 0x34};
        reply(return_code::ok, Serialized_payload(Serialized_payload::someip,
                                                  std::make_shared<Payload_buffer>(std::move(result))));
    }
};

class Silent_monitor final : public Request_handler {
public:
    void on_request(std::uint16_t, std::uint16_t, Serialized_payload, Reply_function reply) override {
        if (reply) reply(return_code::ok, Serialized_payload(Serialized_payload::someip, std::make_shared<Payload_buffer>()));
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
    const rk::com::cpp_binding::Service_info service{tq::com::runtime::Service_id(interface),
                                                     tq::com::runtime::Instance_id("1")};
    const rk::com::cpp_binding::Service_info monitor{tq::com::runtime::Service_id(monitor_interface),
                                                     tq::com::runtime::Instance_id("479232")};
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
            transport.send_event(monitor, 0, {Serialized_payload(Serialized_payload::someip,
                                                                 std::make_shared<Payload_buffer>(1, byte))});
            std::cout << "sent " << value << std::endl;
        }
    }
    transport.stop_offer(monitor);
    transport.stop_offer(service);
    return 0;
}
