// The state-manager client and EcuReset against a fake state manager.
#include "DSAInterfaceImpl.h"
#include "EcuReset.h"

#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

namespace norda::phm::wardex {
namespace {

using ara::log::LogLevel;
using Line = std::pair<LogLevel, std::string>;

// Every search that finds nothing costs a pause. Success is reported without
// waiting for the reply (a late answer, even a failure, changes nothing);
// after the service went, or without a client, EcuReset reports the failure.
TEST(StateManagerClient, SearchesWithAPauseAfterEachMissAndEcuResetReportsTheOutcomeOfEachRequest) {
    ara::log::Capture capture;
    const auto transport = std::make_shared<rk::com::runtime::Fake_transport>();
    const rk::com::runtime::Component_singleton component{transport};
    const rk::com::cpp_binding::Service_info state_manager{
        tq::com::runtime::Service_id(tq::ap::statemanager::DSAInterface::id()), tq::com::runtime::Instance_id("1")};
    std::vector<std::chrono::milliseconds> pauses;
    const auto client = std::make_shared<DSAInterfaceImpl>(tq::com::runtime::Instance_id("1"), [&](auto pause) {
        pauses.push_back(pause);
        if (pauses.size() == 3) transport->add_remote_instance(state_manager);
    });
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(3, std::chrono::milliseconds(500)));

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

    std::vector<Line> lines;
    for (const auto& record : capture.records()) {
        if (record.context == "DFLT") lines.emplace_back(record.level, record.text());
    }
    const Line waiting{LogLevel::kDebug, "Waiting for StateManager"};
    const Line failed{LogLevel::kError, "EcuReset: RequestRestart failed!"};
    const auto debug = [](const char* text) { return Line{LogLevel::kDebug, text}; };
    EXPECT_EQ(lines, (std::vector<Line>{waiting, waiting, waiting, waiting, debug("Connected to StateManager"),
                                        debug("RequestRestart for id :  7"), debug("RequestRestart: Success!"),
                                        debug("EcuReset: RequestRestart succeeded!"), debug("RequestRestart for id :  3"),
                                        debug("RequestRestart got exception from state manager:  Service not available exception"),
                                        failed, failed}));
}

}  // namespace
}  // namespace norda::phm::wardex
