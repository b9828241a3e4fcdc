// The DTC monitor service: InitMonitor through the runtime, its own verdict
// sends and counters, the start-up line, the supervision monitor's verdicts
// as its MonitorAction events, the singleton's creation (also when threads
// race or the first attempt fails) and its teardown.
#include "WardexMonitor.h"
#include "recording_execution_backend.h"
#include "scripted_failure_source.h"
#include "service_fixture.h"

#include "ara/exec/recovery_action_client.h"
#include "ara/phm/phm_callback_client.h"

#include <atomic>
#include <future>
#include <thread>

namespace wardex_test {
namespace {

using ara::log::LogLevel;
using norda::phm::wardex::DiagnosticMonitor;
using norda::phm::wardex::dm_instance;
using norda::phm::wardex::NotificationType;
using norda::phm::wardex::WardexMonitor;
using rk::dm::types::InitMonitorReasonType;
using rk::dm::types::MonitorActionType;

using DtcMonitor = Service_test;

// A supervision monitor whose verdicts go the default way.
struct Supervision {
    std::shared_ptr<Recording_execution_backend> backend = std::make_shared<Recording_execution_backend>();
    ara::exec::Recovery_action_client client{backend};
    ara::phm::PhmCallbackClient phm{std::unique_ptr<ara::phm::Failure_source>(new Scripted_failure_source)};
    WardexMonitor monitor{true, client};
};

const Bytes passed{0};
const Bytes failed{1};

TEST_F(DtcMonitor, InitMonitorWithReasonSevenIsStoredLoggedAndAnsweredEmpty) {
    auto& monitor = DiagnosticMonitor::instance();
    const auto reply = call(dtc_monitor_479232, 0, Bytes{7});
    EXPECT_EQ(reply.return_code, 0);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(static_cast<int>(monitor.get_last_received_monitor_reason()), 7);
    EXPECT_EQ(texts("WDX", LogLevel::kDebug),
              std::vector<std::string>{"[DIAG]DiagnosticMonitor::InitMonitor: DTC (reason = 7) is called."});
    ASSERT_TRUE(capture.wait_for_text(
        R"({"1_incident":{"1_id":"Method_call_request_process","2_service_id":{"1_id":"Service_id",)"
        R"("string":"rk::dm::dem::DiagnosticMonitor"},"3_instance_id":{"1_id":"Instance_id","2_string":"479232"},)"
        R"("4_method_id":0,"5_method_call_id":1},"2_data":{"1_undefined_type":[7]}})"));
    EXPECT_EQ(incidentCount("Method_call_response_tx"), 1u);

    // No counter moves and no event goes out.
    monitor.LogMyInfo();
    EXPECT_EQ(texts("WDX", LogLevel::kDebug).back(),
              "Offering Service for DTC: InitMonitorReason: 7, countFailed: 0, countPassed: 0");
    EXPECT_TRUE(monitorActions().empty());

    // A reason without a name is kept as it came.
    auto future = monitor.InitMonitor(static_cast<InitMonitorReasonType>(200));
    EXPECT_TRUE(future.is_ready());
    future.get();
    EXPECT_EQ(static_cast<int>(monitor.get_last_received_monitor_reason()), 200);
    EXPECT_EQ(texts("WDX", LogLevel::kDebug).back(),
              "[DIAG]DiagnosticMonitor::InitMonitor: DTC (reason = 200) is called.");
}

TEST_F(DtcMonitor, OwnSendsCountAndLogFailedAndPassedOnlyAndAlwaysSendTheEvent) {
    auto& monitor = DiagnosticMonitor::instance();
    monitor.SendMonitorAction(MonitorActionType::kFailed);
    monitor.SendMonitorAction(MonitorActionType::kPassed);
    monitor.SendMonitorAction(MonitorActionType::kPassed);
    monitor.SendMonitorAction(static_cast<MonitorActionType>(2));

    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{{1}, {0}, {0}, {2}}));
    EXPECT_EQ(texts("WDX", LogLevel::kDebug),
              (std::vector<std::string>{"[DIAG]DiagnosticMonitor::SendMonitorAction: kFailed",
                                        "[DIAG]DiagnosticMonitor::SendMonitorAction: kPassed",
                                        "[DIAG]DiagnosticMonitor::SendMonitorAction: kPassed"}));
    EXPECT_EQ(monitor.GetCountFailed(), 1);
    EXPECT_EQ(monitor.GetCountPassed(), 2);
    monitor.LogMyInfo();
    EXPECT_EQ(texts("WDX", LogLevel::kDebug).back(),
              "Offering Service for DTC: InitMonitorReason: 0, countFailed: 1, countPassed: 2");
}

TEST_F(DtcMonitor, CountersWrapFromTheirMaximumToZero) {
    auto& monitor = DiagnosticMonitor::instance();
    // Withdrawn, so that the sixty-five thousand events are not kept.
    monitor.StopOfferService();
    for (int i = 0; i < 0xFFFF; ++i) monitor.SendMonitorAction(MonitorActionType::kFailed);
    EXPECT_EQ(monitor.GetCountFailed(), 0xFFFF);
    monitor.SendMonitorAction(MonitorActionType::kFailed);
    EXPECT_EQ(monitor.GetCountFailed(), 0);
    EXPECT_EQ(monitor.GetCountPassed(), 0);
}

TEST_F(DtcMonitor, ThreadsRacingForTheFirstCallGetOneObjectOfferedOnceUnderItsFixedInstance) {
    std::promise<void> start;
    auto go = start.get_future().share();
    std::vector<std::thread> threads;
    std::vector<DiagnosticMonitor*> seen(4, nullptr);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            go.wait();
            seen[i] = &DiagnosticMonitor::instance();
        });
    }
    start.set_value();
    for (auto& thread : threads) thread.join();
    for (auto* monitor : seen) EXPECT_EQ(monitor, dm_instance.get());
    EXPECT_EQ(dm_instance->GetInstanceIdentifier().to_string(), "479232");
    EXPECT_TRUE(transport->is_offered(dtc_monitor_479232));
    EXPECT_EQ(incidentCount("Service_skeleton_constructed"), 1u);
    EXPECT_EQ(incidentCount("Offer_service"), 1u);
}

TEST_F(DtcMonitor, RequestsAndSendsFromSeveralThreadsAtOnce) {
    auto& monitor = DiagnosticMonitor::instance();
    std::vector<std::shared_ptr<const rk::com::runtime::Fake_transport::Reply_slot>> replies;
    std::thread sender([&] {
        for (int i = 0; i < 50; ++i) monitor.SendMonitorAction(MonitorActionType::kPassed);
    });
    for (std::uint8_t reason = 1; reason <= 50; ++reason) {
        replies.push_back(transport->deliver_request(dtc_monitor_479232, 0, Bytes{reason}));
    }
    std::thread reader([&] {
        for (int i = 0; i < 50; ++i) monitor.LogMyInfo();
    });
    sender.join();
    reader.join();
    for (const auto& reply : replies) ASSERT_EQ(reply->wait().value().return_code, 0);
    const int last = static_cast<int>(monitor.get_last_received_monitor_reason());
    EXPECT_GE(last, 1);
    EXPECT_LE(last, 50);
    EXPECT_EQ(monitor.GetCountPassed(), 50);
}

TEST_F(DtcMonitor, DestructionWithdrawsTheOfferBeforeItsLastWord) {
    DiagnosticMonitor::instance();
    capture.clear();
    dm_instance.reset();
    EXPECT_FALSE(transport->is_offered(dtc_monitor_479232));
    const auto all = capture.texts();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].rfind(R"({"1_incident":{"1_id":"Stop_offer_service")", 0), 0u);
    EXPECT_EQ(all[1], "~DiagnosticMonitor");
    EXPECT_EQ(capture.records()[1].level, LogLevel::kDebug);
}

TEST_F(DtcMonitor, DestructionWaitsForTheRequestsAlreadyHandedOver) {
    DiagnosticMonitor::instance();
    // Each request is with the method processor when deliver_request returns.
    std::vector<std::shared_ptr<const rk::com::runtime::Fake_transport::Reply_slot>> replies;
    for (std::uint8_t reason = 0; reason < 20; ++reason) {
        replies.push_back(transport->deliver_request(dtc_monitor_479232, 0, Bytes{reason}));
    }
    dm_instance.reset();
    for (const auto& reply : replies) {
        ASSERT_TRUE(reply->answered());
        EXPECT_EQ(reply->wait()->return_code, 0);
    }
}

// The supervision monitor's verdicts go out through its default sender.
TEST_F(DtcMonitor, VerdictPatternFromEmptyListThroughFailureAndHealing) {
    Supervision supervision;
    auto& monitor = supervision.monitor;
    // The first verdict creates and offers the DTC monitor.
    EXPECT_EQ(dm_instance, nullptr);
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    ASSERT_NE(dm_instance, nullptr);
    EXPECT_TRUE(transport->is_offered(dtc_monitor_479232));
    // Without applications every pass sends passed.
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{passed, passed}));

    monitor.RegisterApplication(supervision.phm, "cam", 1, 0, {}, {NotificationType::kDTC}, {"cam.fail"}, "12", 7,
                                1, "MW");
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_EQ(monitorActions().size(), 2u);

    supervision.phm.Deliver("cam.fail");
    EXPECT_EQ(capture.count("SendMonitorAction DTC kFailed because of cam..."), 1u);
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{passed, passed, failed}));

    // Twelve passes while erroneous and the thirteenth, in which it heals, send nothing.
    for (int pass = 1; pass <= 13; ++pass) EXPECT_TRUE(monitor.ageAllApplications(5000)) << pass;
    EXPECT_EQ(monitorActions().size(), 3u);

    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{passed, passed, failed, passed, passed}));

    // Each went out as an Event_update_tx, and none through the service's own counters.
    EXPECT_EQ(incidentCount("Event_update_tx"), 5u);
    EXPECT_EQ(DiagnosticMonitor::instance().GetCountFailed(), 0);
    EXPECT_EQ(DiagnosticMonitor::instance().GetCountPassed(), 0);
    EXPECT_EQ(capture.count("[DIAG]DiagnosticMonitor::SendMonitorAction: kFailed"), 0u);
    EXPECT_EQ(incidentCount("Offer_service"), 1u);
}

// Without the runtime the service cannot be made: a DTC reaction logs that and
// drops the rest of its list, no object is left, and a later call tries again.
TEST(DtcMonitorWithoutRuntime, FailedCreationFailsTheReactionListAndALaterCallTriesAgain) {
    ara::log::Capture capture;
    dm_instance.reset();
    Supervision supervision;
    supervision.monitor.RegisterApplication(supervision.phm, "cam", 0, 0, {},
                                            {NotificationType::kDTC, NotificationType::kRestartApplication},
                                            {"cam.fail"}, "12", 7, 1, "MW");
    supervision.phm.Deliver("cam.fail");
    EXPECT_EQ(dm_instance, nullptr);
    EXPECT_EQ(capture.count("Unexpected exception during Recovery Action in Wardex monitor of the Wardex:   "
                            "Communication runtime component does not exist"),
              1u);
    EXPECT_TRUE(supervision.backend->journal().empty());
    EXPECT_THROW(DiagnosticMonitor::instance(), std::logic_error);
    EXPECT_EQ(dm_instance, nullptr);
    {
        auto transport = std::make_shared<rk::com::runtime::Fake_transport>();
        rk::com::runtime::Component_singleton component(transport);
        auto& monitor = DiagnosticMonitor::instance();
        EXPECT_EQ(dm_instance.get(), &monitor);
        EXPECT_TRUE(transport->is_offered(dtc_monitor_479232));
        dm_instance.reset();
    }
}

}  // namespace
}  // namespace wardex_test
