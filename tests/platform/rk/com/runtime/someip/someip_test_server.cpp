// A small SOME/IP server for wire tests from outside the process: offers the
// data identifier service ids on 127.0.0.1 (port given, 0 for one of the
// system's choice) with a canned provider. Read answers count 1 and data
// 12 34 when its meta-information map decodes, and fails (0x80) otherwise;
// Cancel answers empty. Prints "ready <port>" once listening and runs until
// its standard input closes.
#include "rk/com/runtime/someip/udp_transport.h"
#include "rk/com/someip/serialization/deserializer.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
    const auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0);
    auto deployment = someip::default_deployment();
    const std::string interface = "orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets";
    for (auto& service : deployment.services) {
        if (service.interface == interface) service.instances.at(0).port = port;
    }
    someip::Udp_transport transport(deployment);
    const rk::com::cpp_binding::Service_info service{tq::com::runtime::Service_id(interface),
                                            tq::com::runtime::Instance_id("1")};
    transport.offer(service, {0, 2}, std::make_shared<Canned_data_identifier>());
    const auto bound = transport.bound_port(service);
    if (!bound) return 1;
    std::cout << "ready " << *bound << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    transport.stop_offer(service);
    return 0;
}
