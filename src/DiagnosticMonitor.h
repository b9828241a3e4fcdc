// The DTC monitor service (rk::dm::dem::DiagnosticMonitor, instance
// "479232"): the diagnostic event manager initialises it with InitMonitor and
// receives the supervision verdicts as MonitorAction events.
//
// One process-wide object, created and offered by the first instance() call,
// held by dm_instance and destroyed at process exit, before logging shuts down.
#pragma once

#include "ara/log/logging.h"
#include "rk/dm/dem/skeleton/diagnosticmonitor_skeleton.h"
#include "rk/dm/types/dm_types.h"
#include "tq/com/future.h"
#include "tq/com/runtime/identifiers.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace norda::phm::wardex {

class DiagnosticMonitor : public rk::dm::dem::skeleton::DiagnosticMonitorSkeleton {
public:
    // Creates and offers the service on the first call, exactly once also when
    // threads race; if that fails, the exception leaves and a later call tries again.
    static DiagnosticMonitor& instance();

    // Constructs and offers the service.
    explicit DiagnosticMonitor(tq::com::runtime::Instance_id instanceId);
    // Withdraws the offer (waiting for requests still running) before anything goes.
    ~DiagnosticMonitor() override;

    DiagnosticMonitor(const DiagnosticMonitor&) = delete;
    DiagnosticMonitor& operator=(const DiagnosticMonitor&) = delete;

    tq::com::Future<void> InitMonitor(rk::dm::types::InitMonitorReasonType reason) override;

    rk::dm::types::InitMonitorReasonType get_last_received_monitor_reason() const;
    // Counts and logs kFailed and kPassed, then sends the action as a MonitorAction event.
    void SendMonitorAction(rk::dm::types::MonitorActionType action);
    void LogMyInfo() const;
    tq::com::runtime::Instance_id GetInstanceIdentifier() const;

    std::uint16_t GetCountFailed() const;
    std::uint16_t GetCountPassed() const;

private:
    tq::com::runtime::Instance_id instanceIdentifier;
    // Written by request threads, read for logging: atomics, no lock.
    std::atomic<rk::dm::types::InitMonitorReasonType> last_received_monitor_reason;
    std::atomic<std::uint16_t> countFailed;
    std::atomic<std::uint16_t> countPassed;
    ara::log::Logger& logger;
};

// The process-wide DTC monitor; empty until the first DiagnosticMonitor::instance().
extern std::unique_ptr<DiagnosticMonitor> dm_instance;

}  // namespace norda::phm::wardex
