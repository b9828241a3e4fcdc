#include "DiagnosticMonitor.h"

#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

namespace norda::phm::wardex {

using rk::dm::types::InitMonitorReasonType;
using rk::dm::types::MonitorActionType;

namespace {
// Guards the creation of dm_instance.
std::mutex dm_instance_mutex;

// Destroys the monitor at process exit while logging still works: registered
// with atexit when the monitor is first created, which is after main has
// initialised logging, so it runs before logging shuts down. Static
// destruction would come after that, and the withdrawal of the offer and the
// destructor's line would never reach DLT.
void destroyBeforeLoggingEnds() {
    std::unique_ptr<DiagnosticMonitor> last;
    {
        std::lock_guard<std::mutex> lock(dm_instance_mutex);
        last = std::move(dm_instance);
    }
}
}  // namespace

std::unique_ptr<DiagnosticMonitor> dm_instance;

DiagnosticMonitor& DiagnosticMonitor::instance() {
    // Held while the first call constructs and offers the service: the
    // constructor never calls instance(), and the runtime answers no request
    // by calling back into it, so waiting callers cannot deadlock. Later calls
    // take the lock only briefly (verdicts come every few seconds at most).
    std::lock_guard<std::mutex> lock(dm_instance_mutex);
    if (!dm_instance) {
        dm_instance = std::make_unique<DiagnosticMonitor>(tq::com::runtime::Instance_id("479232"));
        static const bool destroyedAtExit = std::atexit(destroyBeforeLoggingEnds) == 0;
        static_cast<void>(destroyedAtExit);
    }
    return *dm_instance;
}

DiagnosticMonitor::DiagnosticMonitor(tq::com::runtime::Instance_id instanceId)
    : DiagnosticMonitorSkeleton(instanceId, rk::com::cpp_binding::Method_call_processing_mode::kEvent),
      instanceIdentifier(std::move(instanceId)),
      last_received_monitor_reason(static_cast<InitMonitorReasonType>(0)),
      countFailed(0),
      countPassed(0),
      logger(ara::log::CreateLogger("WDX", "Wardex DiagMonitor")) {
    OfferService();
}

DiagnosticMonitor::~DiagnosticMonitor() {
    try {
        StopOfferService();
        logger.LogDebug() << "~DiagnosticMonitor";
    } catch (const std::exception& e) {
        logger.LogError() << std::string("Withdrawing the DTC monitor service failed: ") + e.what();
    } catch (...) {
        logger.LogError() << "Withdrawing the DTC monitor service failed";
    }
}

tq::com::Future<void> DiagnosticMonitor::InitMonitor(InitMonitorReasonType reason) {
    tq::com::Promise<void> promise;
    promise.set_value();
    last_received_monitor_reason.store(reason);
    logger.LogDebug() << "[DIAG]DiagnosticMonitor::InitMonitor: DTC (reason = " +
                             std::to_string(static_cast<unsigned>(reason)) + ") is called.";
    return promise.get_future();
}

InitMonitorReasonType DiagnosticMonitor::get_last_received_monitor_reason() const {
    return last_received_monitor_reason.load();
}

void DiagnosticMonitor::SendMonitorAction(MonitorActionType action) {
    if (action == MonitorActionType::kFailed) {
        logger.LogDebug() << "[DIAG]DiagnosticMonitor::SendMonitorAction: kFailed";
        countFailed.fetch_add(1);
    } else if (action == MonitorActionType::kPassed) {
        logger.LogDebug() << "[DIAG]DiagnosticMonitor::SendMonitorAction: kPassed";
        countPassed.fetch_add(1);
    }
    MonitorAction.Send(action);
}

void DiagnosticMonitor::LogMyInfo() const {
    logger.LogDebug() << "Offering Service for DTC: InitMonitorReason: " +
                             std::to_string(static_cast<unsigned>(last_received_monitor_reason.load())) +
                             ", countFailed: " + std::to_string(countFailed.load()) +
                             ", countPassed: " + std::to_string(countPassed.load());
}

tq::com::runtime::Instance_id DiagnosticMonitor::GetInstanceIdentifier() const { return instanceIdentifier; }

std::uint16_t DiagnosticMonitor::GetCountFailed() const { return countFailed.load(); }

std::uint16_t DiagnosticMonitor::GetCountPassed() const { return countPassed.load(); }

}  // namespace norda::phm::wardex
