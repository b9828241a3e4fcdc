// The state-manager client against a fake state manager: the search loop
// with its pauses, the restart request on the wire, and the outcome lines of
// the client and of EcuReset.
#include "DSAInterfaceImpl.h"
#include "EcuReset.h"

#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

namespace norda::phm::wardex {
namespace {

using ara::log::LogLevel;
using Lines = std::vector<std::pair<LogLevel, std::string>>;

class StateManagerClient : public ::testing::Test {
protected:
    // Level and text of the client's and EcuReset's lines.
    Lines lines() const {
        Lines found;
        for (const auto& record : capture.records()) {
            if (record.context == "DFLT") found.emplace_back(record.level, record.text());
        }
        return found;
    }
    // A client whose search finds the state manager in the given attempt.
    std::shared_ptr<DSAInterfaceImpl> connect(std::size_t attempt = 1) {
        if (attempt == 1) transport->add_remote_instance(state_manager);
        return std::make_shared<DSAInterfaceImpl>(tq::com::runtime::Instance_id("1"), [this, attempt](auto pause) {
            pauses.push_back(pause);
            if (pauses.size() + 1 == attempt) transport->add_remote_instance(state_manager);
        });
    }

    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
    const rk::com::cpp_binding::Service_info state_manager{
        tq::com::runtime::Service_id(tq::ap::statemanager::DSAInterface::id()), tq::com::runtime::Instance_id("1")};
    std::vector<std::chrono::milliseconds> pauses;
};

// Every search that finds nothing costs a pause.
TEST_F(StateManagerClient, SearchesUntilTheStateManagerIsThereWithAPauseAfterEveryMiss) {
    connect(4);
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(3, std::chrono::milliseconds(500)));
    Lines expected(4, {LogLevel::kDebug, "Waiting for StateManager"});
    expected.emplace_back(LogLevel::kDebug, "Connected to StateManager");
    EXPECT_EQ(lines(), expected);
}

// Success is reported without waiting for the reply (a late answer, even a
// failure, changes nothing); after the service went, or without a client,
// EcuReset reports the failure.
TEST_F(StateManagerClient, RequestRestartSendsTheIdentifierAndEcuResetReportsTheOutcome) {
    const auto client = connect();
    EXPECT_TRUE(pauses.empty());
    capture.clear();
    EcuReset{7, client}.RequestRestart();
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].service, state_manager);
    EXPECT_EQ(requests[0].method_id, 0);
    EXPECT_EQ(requests[0].payload, std::vector<std::uint8_t>{7});
    EXPECT_TRUE(transport->reply(0, 0x81));
    transport->remove_remote_instance(state_manager);
    EcuReset{3, client}.RequestRestart();
    EcuReset{1, nullptr}.RequestRestart();
    EXPECT_EQ(transport->requests().size(), 1u);
    EXPECT_EQ(lines(),
              (Lines{{LogLevel::kDebug, "RequestRestart for id :  7"},
                     {LogLevel::kDebug, "RequestRestart: Success!"},
                     {LogLevel::kDebug, "EcuReset: RequestRestart succeeded!"},
                     {LogLevel::kDebug, "RequestRestart for id :  3"},
                     {LogLevel::kDebug, "RequestRestart got exception from state manager:  Service not available exception"},
                     {LogLevel::kError, "EcuReset: RequestRestart failed!"},
                     {LogLevel::kError, "EcuReset: RequestRestart failed!"}}));
}

}  // namespace
}  // namespace norda::phm::wardex
