// A given deployment file and the errors of a wrong one.
#include "rk/com/runtime/someip/deployment.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

namespace rk::com::runtime::someip {
namespace {

const char* const minimal = R"({
  "unicast": "127.0.0.7", "client_id": 7, "call_timeout_ms": 50, "service_discovery": {"port": 0, "share_port": true,
  "max_subscribers_per_address": 2, "offers_on_other_addresses": true},
  "services": [{"interface": "a::B", "service_id": "0x00aB", "major_version": 2, "minor_version": 3,
                "instances": [{"instance": "x", "instance_id": 1, "port": 0}],
                "methods": [{"name": "M", "id": "0x7fff"}]}]})";

template <typename Read>
std::string error_from(Read&& read) {
    try {
        read();
    } catch (const Deployment_error& error) {
        return error.what();
    }
    return "no error";
}
std::string error_of(const std::string& text) { return error_from([&] { parse_deployment(text, "f.json"); }); }

TEST(DeploymentFile, AGivenFileReplacesTheDefaultWithHexTextsAndTheUnicastAddress) {
    const std::string path = ::testing::TempDir() + "/deployment_test_given.json";
    std::ofstream(path) << minimal;
    const auto d = process_deployment(path);
    EXPECT_EQ(std::tie(d.unicast, d.client_id, d.service_discovery.port, d.service_discovery.multicast),
              std::make_tuple(std::string("127.0.0.7"), std::uint16_t{7}, std::uint16_t{0}, std::string("224.244.224.245")));
    EXPECT_EQ(d.call_timeout.count(), 50);
    EXPECT_EQ(std::tie(d.service_discovery.share_port, d.service_discovery.max_subscribers_per_address,
                       d.service_discovery.offers_on_other_addresses), std::make_tuple(true, 2u, true));
    ASSERT_EQ(d.services.size(), 1u);
    const auto& s = d.services[0];
    EXPECT_EQ(std::tie(s.interface, s.service_id, s.major_version, s.minor_version),
              std::make_tuple(std::string("a::B"), std::uint16_t{0xAB}, std::uint8_t{2}, std::uint32_t{3}));
    ASSERT_EQ(s.instances.size(), 1u);
    EXPECT_EQ(std::tie(s.instances[0].instance_id, s.instances[0].address), std::make_tuple(std::uint16_t{1}, std::string("127.0.0.7")));
    EXPECT_EQ(s.methods.at(0).id, 0x7FFF);
    const std::string missing = ::testing::TempDir() + "/no_such_deployment.json";
    EXPECT_EQ(error_from([&] { process_deployment(missing); }), missing + ": cannot be read");
}

TEST(DeploymentFile, AWrongFileNamesTheFileAndTheKey) {
    const std::string not_a_number = "f.json: client_id: expected a number or a hexadecimal text \"0x…\"";
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {R"("service_id": "0x00aB", )", "", "f.json: services[0].service_id: missing"},
        {R"("port": 0}])", R"("port": 65536}])", "f.json: services[0].instances[0].port: out of range (at most 65535)"},
        {R"("0x7fff")", R"("0x8000")", "f.json: services[0].methods[0].id: out of range (at most 32767)"},
        {R"("127.0.0.7")", R"("localhost")", "f.json: unicast: expected an IPv4 address"},
        {R"("client_id": 7)", R"("client_id": -7)", not_a_number},
        {R"("client_id": 7)", R"("client_id": "0x12g")", not_a_number},
        {R"("call_timeout_ms": 50)", R"("call_timeout_ms": 0)", "f.json: call_timeout_ms: must be at least 1"},
        {R"("instances": [)", R"("instances": 5, "x": [)", "f.json: services[0].instances: expected an array"},
        {R"("client_id": 7)", R"("client_id": 1E400)",
         "f.json: not valid JSON: [json.exception.out_of_range.406] number overflow parsing '1E400'"},
    };
    for (const auto& [from, to, error] : cases) {
        std::string text = minimal;
        ASSERT_NE(text.find(from), std::string::npos) << from;
        EXPECT_EQ(error_of(text.replace(text.find(from), from.size(), to)), error);
    }
    EXPECT_EQ(error_of("{\"unicast\": ").rfind("f.json: not valid JSON: ", 0), 0u);
    EXPECT_EQ(error_of("[]"), "f.json: (document): expected an object");
}

}  // namespace
}  // namespace rk::com::runtime::someip
