// Verdicts of the supervision monitor reaching the diagnostic event manager as
// MonitorAction events of the DTC monitor service, through the monitor's
// default sender.
#include "WardexMonitor.h"
#include "recording_execution_backend.h"
#include "scripted_failure_source.h"
#include "service_fixture.h"

#include "ara/exec/recovery_action_client.h"
#include "ara/phm/phm_callback_client.h"

namespace wardex_test {
namespace {

using norda::phm::wardex::DiagnosticMonitor;
using norda::phm::wardex::dm_instance;
using norda::phm::wardex::NotificationType;
using norda::phm::wardex::WardexMonitor;

class Verdict_events : public Service_test {
protected:
    std::shared_ptr<Recording_execution_backend> backend = std::make_shared<Recording_execution_backend>();
    ara::exec::Recovery_action_client client{backend};
    ara::phm::PhmCallbackClient phm{std::unique_ptr<ara::phm::Failure_source>(new Scripted_failure_source)};
    WardexMonitor monitor{true, client};
};

const Bytes passed{0};
const Bytes failed{1};

TEST_F(Verdict_events, PatternFromEmptyListThroughFailureAndHealing) {
    // The first verdict creates and offers the DTC monitor.
    EXPECT_EQ(dm_instance, nullptr);
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    ASSERT_NE(dm_instance, nullptr);
    EXPECT_TRUE(transport->is_offered(dtc_monitor_479232));
    EXPECT_EQ(monitorActions(), std::vector<Bytes>{passed});

    monitor.RegisterApplication(phm, "cam", 1, 0, {}, {NotificationType::kDTC}, {"cam.fail"}, "12", 7, 1, "MW");
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_EQ(monitorActions().size(), 1u);

    phm.Deliver("cam.fail");
    EXPECT_EQ(capture.count("SendMonitorAction DTC kFailed because of cam..."), 1u);
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{passed, failed}));

    // Twelve passes while erroneous and the thirteenth, in which it heals, send nothing.
    for (int pass = 1; pass <= 13; ++pass) EXPECT_TRUE(monitor.ageAllApplications(5000)) << pass;
    EXPECT_EQ(monitorActions().size(), 2u);

    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{passed, failed, passed, passed}));

    // Each went out as an Event_update_tx, and none through the service's own counters.
    EXPECT_EQ(incidentCount("Event_update_tx"), 4u);
    EXPECT_EQ(DiagnosticMonitor::instance().GetCountFailed(), 0);
    EXPECT_EQ(DiagnosticMonitor::instance().GetCountPassed(), 0);
    EXPECT_EQ(capture.count("[DIAG]DiagnosticMonitor::SendMonitorAction: kFailed"), 0u);
    EXPECT_EQ(incidentCount("Offer_service"), 1u);
}

TEST_F(Verdict_events, WithoutApplicationsEveryPassSendsPassed) {
    for (int pass = 0; pass < 3; ++pass) EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{passed, passed, passed}));
}

TEST(VerdictWithoutRuntime, ServiceThatCannotBeCreatedFailsTheReactionListNotTheMonitor) {
    ara::log::Capture capture;
    dm_instance.reset();
    auto backend = std::make_shared<Recording_execution_backend>();
    ara::exec::Recovery_action_client client{backend};
    ara::phm::PhmCallbackClient phm{std::unique_ptr<ara::phm::Failure_source>(new Scripted_failure_source)};
    WardexMonitor monitor{true, client};
    monitor.RegisterApplication(phm, "cam", 0, 0, {},
                                {NotificationType::kDTC, NotificationType::kRestartApplication}, {"cam.fail"},
                                "12", 7, 1, "MW");

    phm.Deliver("cam.fail");
    EXPECT_EQ(dm_instance, nullptr);
    EXPECT_EQ(capture.count("Unexpected exception during Recovery Action in Wardex monitor of the Wardex:   "
                            "Communication runtime component does not exist"),
              1u);
    // The rest of the list is dropped.
    EXPECT_TRUE(backend->journal().empty());
}

}  // namespace
}  // namespace wardex_test
