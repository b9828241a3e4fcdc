#include "rk/dm/dem/skeleton/diagnosticmonitor_skeleton.h"

#include <utility>

namespace rk::dm::dem::skeleton {

DiagnosticMonitorSkeleton::DiagnosticMonitorSkeleton(tq::com::runtime::Instance_id instance_id,
                                                     rk::com::cpp_binding::Method_call_processing_mode mode)
    : Skeleton(std::move(instance_id), mode),
      MonitorAction(port_link()),
      InitMonitor_method(method_dispatcher(), [this](const rk::dm::types::InitMonitorReasonType& reason) {
          return InitMonitor(reason);
      }) {}

DiagnosticMonitorSkeleton::~DiagnosticMonitorSkeleton() = default;

}  // namespace rk::dm::dem::skeleton
