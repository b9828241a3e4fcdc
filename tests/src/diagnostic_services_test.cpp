// The diagnostic services on the runtime's fake transport: the DTC monitor
// (verdicts as events, creation and teardown) and the data identifier.
#include "DiagnosticMonitor.h"
#include "DiagnosticStorage.h"
#include "app_fixture.h"

#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <optional>

namespace wardex_test {
namespace {

using ara::log::LogLevel;
using norda::phm::wardex::DiagnosticMonitor;
using norda::phm::wardex::dm_instance;

const rk::com::cpp_binding::Service_info dtc_monitor_479232{
    tq::com::runtime::Service_id("rk::dm::dem::DiagnosticMonitor"), tq::com::runtime::Instance_id("479232")};

// The runtime on a fake transport, which plays the diagnostic event manager
// and the tester; the DTC monitor singleton goes while the runtime still lives.
class Service_test : public ::testing::Test {
protected:
    Service_test() { dm_instance.reset(); }
    ~Service_test() override { dm_instance.reset(); }

    rk::com::runtime::Fake_transport::Reply call(const rk::com::cpp_binding::Service_info& service,
                                                 std::uint16_t method, const Bytes& request) {
        return transport->deliver_request(service, method, request)->wait().value();
    }
    // The payloads of the MonitorAction events sent so far.
    std::vector<Bytes> monitorActions() const {
        std::vector<Bytes> sent;
        for (const auto& event : transport->events()) {
            if (event.service != dtc_monitor_479232 || event.event_id != 0) continue;
            for (const auto& payload : event.payloads) sent.push_back(payload.payload());
        }
        return sent;
    }

    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport = std::make_shared<rk::com::runtime::Fake_transport>();
    std::optional<rk::com::runtime::Component_singleton> component{std::in_place, transport};
};
using DtcMonitor = Service_test;

// InitMonitor keeps and logs any reason; the service's own sends count kFailed and
// kPassed. The requests handed over to the parallel processor are answered when
// they run, and discarded unanswered while they wait.
TEST_F(DtcMonitor, InitMonitorAndOwnSendsAreLoggedAndDestructionAnswersOrDiscardsTheRequestsHandedOver) {
    auto& dtc = DiagnosticMonitor::instance();
    EXPECT_EQ(dtc.method_dispatcher().method_processor().processing_mode(), 1);
    EXPECT_EQ(call(dtc_monitor_479232, 0, Bytes{200}).return_code, 0);
    EXPECT_EQ(static_cast<int>(dtc.get_last_received_monitor_reason()), 200);
    for (std::uint8_t action : {1, 0, 0, 2}) dtc.SendMonitorAction(rk::dm::types::MonitorActionType(action));
    dtc.LogMyInfo();
    const std::string sent = "[DIAG]DiagnosticMonitor::SendMonitorAction: ";
    EXPECT_EQ(texts(capture, LogLevel::kDebug, "WDX"),
              (Strings{"[DIAG]DiagnosticMonitor::InitMonitor: DTC (reason = 200) is called.", sent + "kFailed",
                       sent + "kPassed", sent + "kPassed",
                       "Offering Service for DTC: InitMonitorReason: 200, countFailed: 1, countPassed: 2"}));
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{{1}, {0}, {0}, {2}}));
    std::vector<std::shared_ptr<const rk::com::runtime::Fake_transport::Reply_slot>> replies;
    for (std::uint8_t reason = 0; reason < 20; ++reason) {
        replies.push_back(transport->deliver_request(dtc_monitor_479232, 0, Bytes{reason}));
    }
    dm_instance.reset();
    for (const auto& reply : replies) EXPECT_EQ(reply->answered() ? reply->wait()->return_code : 0, 0);
    EXPECT_FALSE(transport->is_offered(dtc_monitor_479232));
}

// Without the runtime the service cannot be made: a DTC reaction drops the rest
// of its list, no object is left, and a later call tries again.
// The supervision monitor's verdicts go out as its events, not through the
// service's own counters; the first verdict creates and offers the service.
TEST_F(DtcMonitor, FailedCreationFailsTheReactionListThenTheVerdictsAreItsEvents) {
    component.reset();
    Supervision supervision;
    supervision.add("cam", 0, {}, {NotificationType::kDTC, NotificationType::kRestartApplication});
    supervision.fail("cam");
    EXPECT_EQ(dm_instance, nullptr);
    EXPECT_TRUE(supervision.journal().empty());
    EXPECT_THROW(DiagnosticMonitor::instance(), std::logic_error);
    component.emplace(transport);
    supervision.fail("cam");
    EXPECT_TRUE(transport->is_offered(dtc_monitor_479232));
    EXPECT_EQ(supervision.journal(), Strings{"restart cam"});
    EXPECT_TRUE(supervision.monitor.ageAllApplications(60001));
    EXPECT_FALSE(supervision.monitor.ageAllApplications(5000));
    EXPECT_EQ(monitorActions(), (std::vector<Bytes>{{1}, {0}}));
    EXPECT_EQ(DiagnosticMonitor::instance().GetCountFailed() + DiagnosticMonitor::instance().GetCountPassed(), 0);
    const Strings logged = capture.texts();
    const auto offer = [](const std::string& text) { return text.rfind(R"({"1_incident":{"1_id":"Offer_service")", 0) == 0; };
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(), offer), 1);
}

const rk::com::cpp_binding::Service_info data_identifier_1{
    tq::com::runtime::Service_id("orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets"),
    tq::com::runtime::Instance_id("1")};
const Bytes empty_map{0, 0, 0, 0};
const Bytes tester_map{0, 0, 0, 15, 0, 0, 0, 6, 't', 'e', 's', 't', 'e', 'r', 0, 0, 0, 1, '1'};  // {"tester": "1"}

// Read serves the measured values of the monitor singleton, whatever the meta information.
TEST_F(Service_test, DataIdentifierReadsTheMeasuredValuesOnTheWire) {
    auto& monitor = WardexMonitor::instance();
    monitor.ClearApplications();
    monitor.calculateMesswert();
    norda::phm::wardex::DataIdentifier_NumberofECUResetsSkeletonImpl service{tq::com::runtime::Instance_id("1")};
    EXPECT_EQ(service.method_dispatcher().method_processor().processing_mode(), 1);
    EXPECT_EQ(call(data_identifier_1, 0, tester_map).return_code, 0);  // Cancel
    EXPECT_EQ(call(data_identifier_1, 1, empty_map).payload, (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0}));
    ara::phm::PhmCallbackClient phm{std::make_unique<Scripted_failure_source>()};
    for (const char* swid : {"12", "0x3456"}) {
        monitor.RegisterApplication(phm, swid, 100, 0, {NotificationType::kMesswert}, {}, {swid}, swid, 1, 1, "");
        phm.Deliver(swid);
    }
    const auto read = call(data_identifier_1, 1, tester_map);
    EXPECT_EQ(read.return_code, 0);
    EXPECT_EQ(read.payload, (Bytes{0, 0, 0, 1, 2, 0, 0, 0, 3, 0x12, 0x34, 0x56}));
    monitor.ClearApplications();
    monitor.calculateMesswert();
}

}  // namespace
}  // namespace wardex_test
