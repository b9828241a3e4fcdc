// The DTC monitor's generated skeleton: the InitMonitor method and the
// MonitorAction event on the wire.
#include "rk/dm/dem/diagnosticmonitor_common.h"
#include "rk/dm/dem/skeleton/diagnosticmonitor_skeleton.h"

#include "ara/log/capture.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using rk::dm::dem::DiagnosticMonitor;
using rk::dm::types::InitMonitorReasonType;
using rk::dm::types::MonitorActionType;
using Bytes = std::vector<std::uint8_t>;

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
