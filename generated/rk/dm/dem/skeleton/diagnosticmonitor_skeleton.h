// Provider side of rk::dm::dem::DiagnosticMonitor: a service derives from it
// and implements InitMonitor; verdicts go out through the MonitorAction event.
#pragma once

#include "ara/com/internal/skeleton/event.h"
#include "ara/com/internal/skeleton/method.h"
#include "ara/com/internal/skeleton/skeleton.h"
#include "rk/dm/dem/diagnosticmonitor_common.h"
#include "tq/com/future.h"

namespace rk::dm::dem::skeleton {

class DiagnosticMonitorSkeleton : public ara::com::internal::skeleton::Skeleton<rk::dm::dem::DiagnosticMonitor> {
public:
    DiagnosticMonitorSkeleton(tq::com::runtime::Instance_id instance_id,
                              rk::com::cpp_binding::Method_call_processing_mode mode);
    ~DiagnosticMonitorSkeleton() override;

    virtual tq::com::Future<void> InitMonitor(rk::dm::types::InitMonitorReasonType reason) = 0;

    ara::com::internal::skeleton::Event<rk::dm::dem::DiagnosticMonitor::MonitorAction> MonitorAction;

private:
    ara::com::internal::skeleton::Method<rk::dm::dem::DiagnosticMonitor::InitMonitor> InitMonitor_method;
};

}  // namespace rk::dm::dem::skeleton
