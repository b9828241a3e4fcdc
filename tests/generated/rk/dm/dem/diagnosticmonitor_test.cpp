// The DTC monitor interface definition and its generated skeleton: identifier,
// description, the InitMonitor method and the MonitorAction event on the wire.
#include "rk/dm/dem/diagnosticevent_common.h"
#include "rk/dm/dem/diagnosticmonitor_common.h"
#include "rk/dm/dem/skeleton/diagnosticmonitor_skeleton.h"

#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using rk::dm::dem::DiagnosticMonitor;
using rk::dm::types::InitMonitorReasonType;
using rk::dm::types::MonitorActionType;
using Bytes = std::vector<std::uint8_t>;

TEST(DiagnosticMonitorDefinition, IdentifierAndShape) {
    constexpr auto id = DiagnosticMonitor::id();
    EXPECT_EQ(id.size(), 31u);
    EXPECT_STREQ(id.c_str(), "rk::dm::dem::DiagnosticMonitor");
    EXPECT_EQ(tq::com::runtime::Service_id(id).to_string(), "rk::dm::dem::DiagnosticMonitor");
    EXPECT_EQ(DiagnosticMonitor::description().number_of_events, 1);
    EXPECT_EQ(DiagnosticMonitor::description().number_of_methods, 1);
    EXPECT_EQ(DiagnosticMonitor::InitMonitor::id, 0);
    EXPECT_EQ(DiagnosticMonitor::MonitorAction::id, 0);
    EXPECT_EQ(static_cast<int>(MonitorActionType::kPassed), 0);
    EXPECT_EQ(static_cast<int>(MonitorActionType::kFailed), 1);
}

TEST(DiagnosticMonitorDefinition, NoMethodOfTheDiagnosticManagerInterfacesHasAnApplicationError) {
    const Bytes payload{0x31};
    for (int code = 0; code <= 0xFF; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        EXPECT_FALSE(DiagnosticMonitor::InitMonitor::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(rk::dm::dem::DiagnosticEvent::FaultDetectionCounter::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(rk::dm::dem::DiagnosticEvent::GetDTCOfEvent::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(rk::dm::dem::DiagnosticEvent::GetDebouncingOfEvent::GetApplicationErrorExceptionPtr(c, payload));
        EXPECT_FALSE(rk::dm::dem::DiagnosticEvent::EventStatus::Get::GetApplicationErrorExceptionPtr(c, payload));
    }
}

class Recording_monitor : public rk::dm::dem::skeleton::DiagnosticMonitorSkeleton {
public:
    Recording_monitor()
        : DiagnosticMonitorSkeleton(tq::com::runtime::Instance_id("479232"),
                                    rk::com::cpp_binding::Method_call_processing_mode::kEvent) {}
    ~Recording_monitor() override { StopOfferService(); }

    tq::com::Future<void> InitMonitor(InitMonitorReasonType reason) override {
        reasons.push_back(static_cast<std::uint8_t>(reason));
        tq::com::Promise<void> promise;
        promise.set_value();
        return promise.get_future();
    }

    std::vector<std::uint8_t> reasons;
};

TEST(DiagnosticMonitorSkeleton, InitMonitorTakesOneByteAndRepliesEmptyAndMonitorActionIsOneByte) {
    ara::log::Capture capture;
    auto transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component(transport);
    const rk::com::cpp_binding::Service_info service{tq::com::runtime::Service_id(DiagnosticMonitor::id()),
                                                     tq::com::runtime::Instance_id("479232")};
    Recording_monitor monitor;
    monitor.OfferService();

    auto reply = transport->deliver_request(service, DiagnosticMonitor::InitMonitor::id, Bytes{0xC8});
    ASSERT_TRUE(reply->wait().has_value());
    EXPECT_EQ(reply->wait()->return_code, 0);
    EXPECT_TRUE(reply->wait()->payload.empty());
    monitor.StopOfferService();
    EXPECT_EQ(monitor.reasons, (std::vector<std::uint8_t>{0xC8}));

    monitor.OfferService();
    monitor.MonitorAction.Send(MonitorActionType::kFailed);
    const auto events = transport->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].service, service);
    EXPECT_EQ(events[0].event_id, 0);
    EXPECT_EQ(events[0].payloads.at(0).payload(), Bytes{1});
}

}  // namespace
