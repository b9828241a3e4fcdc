// The compiled-in deployment, the shipped file, and the errors of a wrong file.
#include "rk/com/runtime/someip/deployment.h"

#include "wardex/paths.h"

#include <gtest/gtest.h>

#include <fstream>

namespace rk::com::runtime::someip {
namespace {

TEST(DefaultDeployment, HoldsTheServicesOfTheSystem) {
    const auto& d = default_deployment();
    EXPECT_EQ(d.unicast, "127.0.0.1");
    EXPECT_EQ(d.client_id, 0x5744);
    EXPECT_EQ(d.service_discovery.port, 30490);
    EXPECT_EQ(d.call_timeout, std::chrono::milliseconds(2000));
    ASSERT_EQ(d.services.size(), 3u);

    const auto* monitor = d.find_service("rk::dm::dem::DiagnosticMonitor");
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->service_id, 0x0D01);
    EXPECT_EQ(monitor->major_version, 1);
    EXPECT_EQ(monitor->minor_version, 0u);
    ASSERT_NE(monitor->find_instance("479232"), nullptr);
    EXPECT_EQ(monitor->find_instance("479232")->instance_id, 0x0001);
    EXPECT_EQ(monitor->find_instance("479232")->address, "127.0.0.1");
    EXPECT_EQ(monitor->find_instance("479232")->port, 30501);
    ASSERT_EQ(monitor->methods.size(), 1u);
    EXPECT_EQ(monitor->methods[0].name, "InitMonitor");
    EXPECT_EQ(monitor->methods[0].id, 0x0000);
    ASSERT_EQ(monitor->events.size(), 1u);
    EXPECT_EQ(monitor->events[0].name, "MonitorAction");
    EXPECT_EQ(monitor->events[0].id, 0x8000);
    EXPECT_EQ(monitor->events[0].eventgroup, 0x0001);

    const auto* did = d.find_service("orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets");
    ASSERT_NE(did, nullptr);
    EXPECT_EQ(did->service_id, 0x0401);
    EXPECT_EQ(did->major_version, 1);
    ASSERT_NE(did->find_instance("1"), nullptr);
    EXPECT_EQ(did->find_instance("1")->instance_id, 0x0001);
    EXPECT_EQ(did->find_instance("1")->port, 30502);
    ASSERT_EQ(did->methods.size(), 2u);
    EXPECT_EQ(did->methods[0].name, "Cancel");
    EXPECT_EQ(did->methods[0].id, 0x0000);
    EXPECT_EQ(did->methods[1].name, "Read");
    EXPECT_EQ(did->methods[1].id, 0x0001);

    const auto* dsa = d.find_service("tq::ap::statemanager::DSAInterface");
    ASSERT_NE(dsa, nullptr);
    EXPECT_EQ(dsa->service_id, 0x0A01);
    ASSERT_NE(dsa->find_instance("1"), nullptr);
    EXPECT_EQ(dsa->find_instance("1")->port, 30503);
    ASSERT_EQ(dsa->methods.size(), 1u);
    EXPECT_EQ(dsa->methods[0].name, "RequestRestart");
    EXPECT_EQ(dsa->methods[0].id, 0x0000);
}

TEST(DefaultDeployment, TheShippedFileSaysTheSame) {
    const auto shipped = load_deployment(WARDEX_SHIPPED_DEPLOYMENT);
    const auto& compiled = default_deployment();
    EXPECT_EQ(shipped.client_id, compiled.client_id);
    ASSERT_EQ(shipped.services.size(), compiled.services.size());
    for (std::size_t i = 0; i < shipped.services.size(); ++i) {
        EXPECT_EQ(shipped.services[i].interface, compiled.services[i].interface);
        EXPECT_EQ(shipped.services[i].service_id, compiled.services[i].service_id);
        EXPECT_EQ(shipped.services[i].instances[0].port, compiled.services[i].instances[0].port);
    }
}

TEST(DefaultDeployment, TheInstalledFileLivesInThePlatformConfigurationDirectory) {
    EXPECT_EQ(installed_deployment_path(), wardex::paths::etc_adaptive_dir() + "/com_deployment.json");
}

const char* const minimal = R"({
  "unicast": "127.0.0.1", "client_id": 7, "call_timeout_ms": 50, "service_discovery": {"port": 0},
  "services": [{"interface": "a::B", "service_id": "0x00aB", "major_version": 2, "minor_version": 3,
                "instances": [{"instance": "x", "instance_id": 1, "port": 0}],
                "methods": [{"name": "M", "id": "0x7fff"}]}]})";

TEST(DeploymentFile, NumbersMayBeHexTextsAndTheAddressDefaultsToTheUnicastOne) {
    const auto d = parse_deployment(minimal, "f.json");
    ASSERT_EQ(d.services.size(), 1u);
    EXPECT_EQ(d.services[0].service_id, 0x00AB);
    EXPECT_EQ(d.services[0].methods[0].id, 0x7FFF);
    EXPECT_EQ(d.services[0].instances[0].address, "127.0.0.1");
    EXPECT_TRUE(d.services[0].events.empty());
}

std::string error_of(const std::string& text) {
    try {
        parse_deployment(text, "f.json");
    } catch (const Deployment_error& error) {
        return error.what();
    }
    return "no error";
}

std::string with(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

TEST(DeploymentFile, AWrongFileNamesTheFileAndTheKey) {
    EXPECT_EQ(error_of(with(minimal, R"("service_id": "0x00aB", )", "")), "f.json: services[0].service_id: missing");
    EXPECT_EQ(error_of(with(minimal, R"("instance_id": 1, "port": 0})", R"("instance_id": 1, "port": 65536})")),
              "f.json: services[0].instances[0].port: out of range (at most 65535)");
    EXPECT_EQ(error_of(with(minimal, R"("0x7fff")", R"("0x8000")")),
              "f.json: services[0].methods[0].id: out of range (at most 32767)");
    EXPECT_EQ(error_of(with(minimal, R"("127.0.0.1")", R"("localhost")")), "f.json: unicast: expected an IPv4 address");
    EXPECT_EQ(error_of(with(minimal, R"("client_id": 7)", R"("client_id": -7)")),
              "f.json: client_id: expected a number or a hexadecimal text \"0x…\"");
    EXPECT_EQ(error_of(with(minimal, R"("client_id": 7)", R"("client_id": "0x12g")")),
              "f.json: client_id: expected a number or a hexadecimal text \"0x…\"");
    EXPECT_EQ(error_of(with(minimal, R"("call_timeout_ms": 50)", R"("call_timeout_ms": 0)")),
              "f.json: call_timeout_ms: must be at least 1");
    EXPECT_EQ(error_of(with(minimal, R"("instances": [)", R"("instances": 5, "x": [)")),
              "f.json: services[0].instances: expected an array");
    EXPECT_EQ(error_of("{\"unicast\": ").rfind("f.json: not valid JSON: ", 0), 0u);
    EXPECT_EQ(error_of("[]"), "f.json: (document): expected an object");
    EXPECT_EQ(error_of(with(minimal, R"("client_id": 7)", R"("client_id": 1E400)")),
              "f.json: not valid JSON: [json.exception.out_of_range.406] number overflow parsing '1E400'");
}

TEST(DeploymentFile, AMissingFileIsAnErrorNamingIt) {
    const std::string path = ::testing::TempDir() + "/no_such_deployment.json";
    try {
        process_deployment(path);
        FAIL() << "no error";
    } catch (const Deployment_error& error) {
        EXPECT_EQ(std::string(error.what()), path + ": cannot be read");
    }
}

TEST(DeploymentFile, AGivenFileReplacesTheDefault) {
    const std::string path = ::testing::TempDir() + "/deployment_test_given.json";
    std::ofstream(path) << minimal;
    const auto d = process_deployment(path);
    EXPECT_EQ(d.client_id, 7);
    EXPECT_EQ(d.call_timeout, std::chrono::milliseconds(50));
}

}  // namespace
}  // namespace rk::com::runtime::someip
