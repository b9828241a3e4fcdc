// The state-manager client against a fake state manager: the search loop
// with its pauses, the restart request on the wire, and the outcome lines of
// the client and of EcuReset.
#include "DSAInterfaceImpl.h"
#include "EcuReset.h"

#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace norda::phm::wardex {
namespace {

using ara::log::LogLevel;
using ara::log::Record;
using rk::com::cpp_binding::Service_info;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Service_id;

std::vector<Record> records_of(const ara::log::Capture& capture, const std::string& context) {
    std::vector<Record> found;
    for (const auto& record : capture.records()) {
        if (record.context == context) found.push_back(record);
    }
    return found;
}

using Lines = std::vector<std::pair<LogLevel, std::string>>;

// Level and text of the client's and EcuReset's lines.
Lines lines_of(const ara::log::Capture& capture) {
    Lines found;
    for (const auto& record : records_of(capture, "DFLT")) found.emplace_back(record.level, record.text());
    return found;
}

class StateManagerClient : public ::testing::Test {
protected:
    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport =
        std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
    const Service_info state_manager{Service_id(tq::ap::statemanager::DSAInterface::id()), Instance_id("1")};
    std::vector<std::chrono::milliseconds> pauses;

    DSAInterfaceImpl::Sleeper counting_sleeper(std::size_t appear_after = 0) {
        return [this, appear_after](std::chrono::milliseconds pause) {
            pauses.push_back(pause);
            if (pauses.size() == appear_after) transport->add_remote_instance(state_manager);
        };
    }

    std::shared_ptr<DSAInterfaceImpl> connected() {
        transport->add_remote_instance(state_manager);
        auto client = std::make_shared<DSAInterfaceImpl>(Instance_id("1"), counting_sleeper());
        capture.clear();
        return client;
    }
};

TEST_F(StateManagerClient, EverySearchThatFindsNothingCostsAPause) {
    {
        transport->add_remote_instance(state_manager);
        DSAInterfaceImpl client(Instance_id("1"), counting_sleeper());
        EXPECT_TRUE(pauses.empty());
        EXPECT_EQ(lines_of(capture), (Lines{{LogLevel::kDebug, "Waiting for StateManager"},
                                            {LogLevel::kDebug, "Connected to StateManager"}}));
    }
    transport->remove_remote_instance(state_manager);
    capture.clear();

    DSAInterfaceImpl client(Instance_id("1"), counting_sleeper(3));
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(3, std::chrono::milliseconds(500)));
    EXPECT_EQ(lines_of(capture), (Lines{{LogLevel::kDebug, "Waiting for StateManager"},
                                        {LogLevel::kDebug, "Waiting for StateManager"},
                                        {LogLevel::kDebug, "Waiting for StateManager"},
                                        {LogLevel::kDebug, "Waiting for StateManager"},
                                        {LogLevel::kDebug, "Connected to StateManager"}}));
    // One search per attempt, the last one finding the instance.
    const auto searches = records_of(capture, "ARAC");
    ASSERT_EQ(searches.size(), 4u);
    EXPECT_NE(searches[2].text().find(R"("2_data":{"1_vector":[]})"), std::string::npos);
    EXPECT_NE(searches[3].text().find(R"("1_vector":[{"1_id":"Service_handle")"), std::string::npos);
}

TEST_F(StateManagerClient, RequestRestartSendsTheIdentifierAndReportsSuccessWithoutWaitingForTheReply) {
    EcuReset reset{7, connected()};

    reset.RequestRestart();

    ASSERT_EQ(lines_of(capture), (Lines{{LogLevel::kDebug, "RequestRestart for id :  7"},
                                        {LogLevel::kDebug, "RequestRestart: Success!"},
                                        {LogLevel::kDebug, "EcuReset: RequestRestart succeeded!"}}));
    EXPECT_EQ(records_of(capture, "DFLT")[0].arguments,
              (std::vector<ara::log::Argument>{std::string("RequestRestart for id : "), std::uint8_t{7}}));

    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].service, state_manager);
    EXPECT_EQ(requests[0].method_id, 0);
    EXPECT_EQ(requests[0].payload, std::vector<std::uint8_t>{7});
    const auto incidents = records_of(capture, "CPRT");
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(incidents[0].text(),
              R"({"1_incident":{"1_id":"Method_call_request_tx","2_service_id":{"1_id":"Service_id",)"
              R"("string":"tq::ap::statemanager::DSAInterface"},"3_instance_id":{"1_id":"Instance_id",)"
              R"("2_string":"1"},"4_method_id":0},"2_data":{"1_uint8":7}})");

    // The state manager's late answer, even a failure, changes nothing.
    EXPECT_TRUE(transport->reply(0, 0x81));
}

TEST_F(StateManagerClient, RequestRestartAfterTheServiceWentOrWithoutAClientFailsAndEcuResetReportsIt) {
    EcuReset reset{3, connected()};
    transport->remove_remote_instance(state_manager);

    reset.RequestRestart();

    EXPECT_TRUE(transport->requests().empty());
    ASSERT_EQ(lines_of(capture),
              (Lines{{LogLevel::kDebug, "RequestRestart for id :  3"},
                     {LogLevel::kDebug, "RequestRestart got exception from state manager:  Service not available exception"},
                     {LogLevel::kError, "EcuReset: RequestRestart failed!"}}));
    EXPECT_EQ(records_of(capture, "DFLT")[1].arguments.size(), 2u);

    // Without a client at all EcuReset reports the failure instead of crashing.
    capture.clear();
    EcuReset{1, nullptr}.RequestRestart();
    EXPECT_EQ(lines_of(capture), (Lines{{LogLevel::kError, "EcuReset: RequestRestart failed!"}}));
}

}  // namespace
}  // namespace norda::phm::wardex
