#include "WardexMonitor.h"

#include "DiagnosticMonitor.h"
#include "WardexGlobals.h"

#include "ara/log/logging.h"

#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace norda::phm::wardex {

using rk::dm::types::MonitorActionType;

namespace {

constexpr char kQemuHostName[] = "qemu-arm64";
constexpr int kResetPlatformDelayMs = 5000;
constexpr std::uint32_t kMsPerMinute = 60000;

// Releases the monitor's lock for one call out of the monitor (an EM request,
// a verdict send) and retakes it afterwards, also when the call throws. This
// cannot deadlock: the thread holds no other lock while it waits for the
// monitor's, and whatever the callee locks or waits for is free again once the
// call has returned.
class Unlocked {
public:
    explicit Unlocked(std::unique_lock<std::mutex>& lock) : lock_(lock) { lock_.unlock(); }
    ~Unlocked() { lock_.lock(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    std::unique_lock<std::mutex>& lock_;
};

// Counts a reaction list as under way for as long as it runs.
class List_under_way {
public:
    explicit List_under_way(unsigned& running) : running_(running) { ++running_; }
    ~List_under_way() { --running_; }
    List_under_way(const List_under_way&) = delete;
    List_under_way& operator=(const List_under_way&) = delete;

private:
    unsigned& running_;
};

}  // namespace

std::unique_ptr<WardexMonitor> WardexMonitor::m_instance;
ara::exec::Recovery_action_client recovery_action_client1;

void defaultVerdictSender(MonitorActionType action) {
    // Straight to the event, not through DiagnosticMonitor::SendMonitorAction:
    // the DTC monitor's own counters count only its own sends.
    DiagnosticMonitor::instance().MonitorAction.Send(action);
}

std::uint8_t hex_value(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return 0;
}

std::vector<std::uint8_t> string_to_hex(const std::string& s) {
    std::vector<std::uint8_t> result;
    std::uint8_t accumulator = 0;
    bool pendingHighNibble = true;
    std::size_t skip = s.rfind("0x") == 0 ? 2 : 0;
    if (s.size() % 2 == 1) pendingHighNibble = false;
    for (const char c : s) {
        if (skip != 0) {
            --skip;
            continue;
        }
        accumulator = static_cast<std::uint8_t>(((accumulator & 0x0F) << 4) + hex_value(c));
        if (pendingHighNibble) {
            pendingHighNibble = false;
        } else {
            result.push_back(accumulator);
            accumulator = 0;
            pendingHighNibble = true;
        }
    }
    return result;
}

// --- WardexMonitor_Application

WardexMonitor::WardexMonitor_Application::WardexMonitor_Application(
    std::vector<std::string> phmCallbackNames, std::vector<NotificationType> callbackErrorHandling,
    std::vector<NotificationType> callbackLimitErrorHandling, unsigned short numberOfAllowedErrors,
    unsigned short numberOfReportedErrors, WardexMonitor* monitor, std::string appInstanceId,
    std::string swid, unsigned short gid, unsigned short counterHealingTimeMin,
    std::string messwertId)
    : phmCallbackNames(std::move(phmCallbackNames)),
      callbackErrorHandling(std::move(callbackErrorHandling)),
      callbackLimitErrorHandling(std::move(callbackLimitErrorHandling)),
      numberOfAllowedErrors(numberOfAllowedErrors),
      numberOfReportedErrors(numberOfReportedErrors),
      monitor(monitor),
      appInstanceId(std::move(appInstanceId)),
      swid(std::move(swid)),
      gid(gid),
      counterHealingTimeMin(counterHealingTimeMin),
      messwertId(std::move(messwertId)) {
    if (monitor == nullptr) {
        throw std::invalid_argument("WardexMonitor_Application needs its monitor");
    }
}

WardexMonitor::WardexMonitor_Application::Lock
WardexMonitor::WardexMonitor_Application::lockMonitor() {
    return Lock(monitor->mutex_);
}

void WardexMonitor::WardexMonitor_Application::RegisterCallbacks(
    ara::phm::PhmCallbackClient& client) {
    ara::log::LogDebug() << "Registering Callbacks :";
    // The client keeps its functions until the process ends, longer than the
    // monitor keeps the record: a shared record is reached through a weak
    // reference, so a dropped record's callbacks do nothing.
    const std::weak_ptr<WardexMonitor_Application> self = weak_from_this();
    for (const auto& name : phmCallbackNames) {
        ara::log::LogDebug() << "\t\tcallback is registered: " << name;
        std::function<void()> callback;
        if (self.expired()) {
            callback = [this] { Callback(); };
        } else {
            callback = [self] {
                if (const auto record = self.lock()) record->Callback();
            };
        }
        client.RegisterCallback(name, std::move(callback));
    }
}

void WardexMonitor::WardexMonitor_Application::Callback() {
    auto lock = lockMonitor();
    callbackLocked(lock);
}

void WardexMonitor::WardexMonitor_Application::callbackLocked(Lock& lock) {
    if (cleared) return;
    ara::log::LogInfo() << "Wardex Callback is called for the application '" << appInstanceId
                        << "' number of already reported errors: " << numberOfReportedErrors;
    // The count stops at its maximum: wrapping to 0 would make an application
    // that keeps failing look well and run its error list again.
    if (numberOfReportedErrors < std::numeric_limits<std::uint16_t>::max()) {
        ++numberOfReportedErrors;
    }
    agingTimeMs = 0;
    if (numberOfReportedErrors < numberOfAllowedErrors) {
        recoveryActionLocked(lock, callbackErrorHandling);
    } else {
        ara::log::LogInfo() << "Number of allowed Errors is reached: " << numberOfReportedErrors
                            << " >= " << numberOfAllowedErrors;
        recoveryActionLocked(lock, callbackLimitErrorHandling);
    }
}

bool WardexMonitor::WardexMonitor_Application::aging(unsigned short ms) {
    auto lock = lockMonitor();
    return agingLocked(ms);
}

bool WardexMonitor::WardexMonitor_Application::agingLocked(unsigned short ms) {
    if (numberOfReportedErrors == 0) return false;
    // A list of this record is under way with the lock released; it acts as if
    // it held the lock throughout, so the record is aged in the next pass.
    if (listsRunning != 0) return true;
    agingTimeMs += ms;
    const std::uint32_t healingThresholdMs =
        static_cast<std::uint32_t>(counterHealingTimeMin) * kMsPerMinute;
    if (agingTimeMs > healingThresholdMs) getWellLocked();
    return true;
}

void WardexMonitor::WardexMonitor_Application::getWell() {
    auto lock = lockMonitor();
    getWellLocked();
}

void WardexMonitor::WardexMonitor_Application::getWellLocked() {
    numberOfReportedErrors = 0;
    agingTimeMs = 0;
    ara::log::LogDebug() << "Application " << appInstanceId << " got well again";
    if (messwertActive) {
        messwertActive = false;
        monitor->calculateMesswertLocked();
    }
}

void WardexMonitor::WardexMonitor_Application::sendMesswert() {
    auto lock = lockMonitor();
    sendMesswertLocked();
}

void WardexMonitor::WardexMonitor_Application::sendMesswertLocked() {
    if (messwertActive) return;
    messwertActive = true;
    monitor->calculateMesswertLocked();
}

void WardexMonitor::WardexMonitor_Application::InitializeErrorCounter(unsigned short n) {
    auto lock = lockMonitor();
    numberOfReportedErrors = n;
}

bool WardexMonitor::WardexMonitor_Application::hadError() {
    auto lock = lockMonitor();
    return numberOfReportedErrors != 0;
}

void WardexMonitor::WardexMonitor_Application::RecoveryAction(
    std::vector<NotificationType> actions) {
    auto lock = lockMonitor();
    recoveryActionLocked(lock, actions);
}

void WardexMonitor::WardexMonitor_Application::recoveryActionLocked(
    Lock& lock, const std::vector<NotificationType>& actions) {
    // The lists are never changed after construction, so walking one while the
    // lock is released for an EM request is safe.
    const List_under_way underWay(listsRunning);
    try {
        for (const NotificationType action : actions) {
            // Cleared while the lock was released: the list ends here and leaves
            // the measured values as ClearApplications kept them.
            if (cleared) return;
            runReactionLocked(lock, action);
        }
    } catch (const std::system_error& e) {
        ara::log::LogError()
            << "Unexpected system_error during Recovery Action in Wardex monitor of the Wardex: "
            << e.what();
    } catch (const std::exception& e) {
        ara::log::LogError()
            << "Unexpected exception during Recovery Action in Wardex monitor of the Wardex:  "
            << e.what();
    } catch (...) {
        ara::log::LogError()
            << "Unknown exception happened during Recovery Action in Wardex monitor of the Wardex";
    }
}

// One reaction of a list. The EM requests run with the lock released; the
// caller checks for a clear once it is back.
void WardexMonitor::WardexMonitor_Application::runReactionLocked(Lock& lock,
                                                                 NotificationType action) {
    switch (action) {
        case NotificationType::kDLT:
            ara::log::LogError()
                << "ERROR: " + appInstanceId + " not working properly for "
                << numberOfReportedErrors << "times (Max allowed for this App: "
                << numberOfAllowedErrors << ").";
            break;
        case NotificationType::kMesswert:
            addMesswertLocked();
            break;
        case NotificationType::kTerminateApplication: {
            ara::log::LogInfo() << "Stopping " + appInstanceId + "...";
            // Unlocked for the EM request: EM may take long or end the
            // process, and a Read must not wait behind it.
            Unlocked unlocked(lock);
            monitor->recoveryActionClient.stop_instance(appInstanceId);
            break;
        }
        case NotificationType::kRestartApplication: {
            ara::log::LogInfo() << "Restarting " + appInstanceId + "...";
            Unlocked unlocked(lock);
            monitor->recoveryActionClient.restart_instance(appInstanceId);
            break;
        }
        case NotificationType::kResetPlatform:
            resetPlatformLocked(lock);
            break;
        case NotificationType::kDTC:
            ara::log::LogInfo()
                << "SendMonitorAction DTC kFailed because of " + appInstanceId + "...";
            monitor->sendMonitorActionLocked(lock, MonitorActionType::kFailed);
            break;
        case NotificationType::kRestartContainer:
            ara::log::LogInfo()
                << "RestartContainer is not implemented in Wardex (" + appInstanceId + ").";
            break;
        case NotificationType::kUpdateClient:
            ara::log::LogInfo() << "Update Client is deactivated in this Version of Wardex";
            break;
        case NotificationType::kUnknown:
            break;
    }
}

void WardexMonitor::WardexMonitor_Application::addMesswertLocked() {
    // An identifier shorter than two bytes still counts; the log shows a
    // missing byte as 0.
    const auto bytes = string_to_hex(swid);
    const std::uint8_t first = bytes.size() > 0 ? bytes[0] : 0;
    const std::uint8_t second = bytes.size() > 1 ? bytes[1] : 0;
    ara::log::LogInfo() << "Messwert for  " + appInstanceId +
                               " is added. (SWID: " + swid + "string to hex: "
                        << first << second << ").";
    sendMesswertLocked();
}

// In the emulator EM resets the platform, with the lock released; on the
// target the alive thread stops feeding the watchdog.
void WardexMonitor::WardexMonitor_Application::resetPlatformLocked(Lock& lock) {
    if (monitor->hostName == kQemuHostName) {
        ara::log::LogDebug() << "Resetting Platform via EM in Qemu...";
        Unlocked unlocked(lock);
        monitor->recoveryActionClient.reset_platform(kResetPlatformDelayMs);
    } else {
        ara::log::LogWarn() << "Resetting Platform via Watchdog...";
        stopPhmAliveThread.store(true, std::memory_order_seq_cst);
    }
}

std::string WardexMonitor::WardexMonitor_Application::GetApplicationInstanceId() {
    return appInstanceId;
}

std::string WardexMonitor::WardexMonitor_Application::GetSWID() { return swid; }

std::vector<std::string> WardexMonitor::WardexMonitor_Application::GetPhmCallbackNames() {
    return phmCallbackNames;
}

std::vector<NotificationType> WardexMonitor::WardexMonitor_Application::GetCallbackErrorHandling() {
    return callbackErrorHandling;
}

std::vector<NotificationType>
WardexMonitor::WardexMonitor_Application::GetCallbackLimitErrorHandling() {
    return callbackLimitErrorHandling;
}

unsigned short WardexMonitor::WardexMonitor_Application::GetNumberOfAllowedErrors() {
    return numberOfAllowedErrors;
}

unsigned short WardexMonitor::WardexMonitor_Application::GetNumberofReportedErrors() {
    auto lock = lockMonitor();
    return numberOfReportedErrors;
}

// --- WardexMonitor

WardexMonitor& WardexMonitor::instance() {
    static std::once_flag created;
    std::call_once(created, [] { m_instance.reset(new WardexMonitor(true)); });
    return *m_instance;
}

WardexMonitor::WardexMonitor(bool monitoringActive)
    : WardexMonitor(monitoringActive, recovery_action_client1) {}

WardexMonitor::WardexMonitor(bool monitoringActive, ara::exec::Recovery_action_client& client)
    : recoveryActionClient(client),
      monitoringActive(monitoringActive),
      verdictSender(&defaultVerdictSender) {}

WardexMonitor::~WardexMonitor() = default;

void WardexMonitor::RegisterApplication(
    ara::phm::PhmCallbackClient& client, std::string appInstanceId,
    unsigned short numberOfAllowedErrors, unsigned short numberOfReportedErrors,
    std::vector<NotificationType> callbackErrorHandling,
    std::vector<NotificationType> callbackLimitErrorHandling,
    std::vector<std::string> phmCallbackNames, std::string swid, unsigned short gid,
    unsigned short counterHealingTimeMin, std::string messwertId) {
    {
        Lock lock(mutex_);
        sendPassedWhenWell = false;
    }
    auto record = std::make_shared<WardexMonitor_Application>(
        std::move(phmCallbackNames), std::move(callbackErrorHandling),
        std::move(callbackLimitErrorHandling), numberOfAllowedErrors, numberOfReportedErrors, this,
        std::move(appInstanceId), std::move(swid), gid, counterHealingTimeMin,
        std::move(messwertId));
    // Registration talks to the PHM client, so it runs without the lock. If it
    // fails, the record is dropped here and the names registered so far reach
    // nothing.
    record->RegisterCallbacks(client);
    Lock lock(mutex_);
    applications.push_back(std::move(record));
}

void WardexMonitor::MonitoringActive(bool active) {
    Lock lock(mutex_);
    monitoringActive = active;
}

void WardexMonitor::ClearApplications() {
    std::vector<std::shared_ptr<WardexMonitor_Application>> dropped;
    {
        Lock lock(mutex_);
        dropped.swap(applications);
        for (const auto& record : dropped) record->cleared = true;
    }
}

std::vector<std::shared_ptr<WardexMonitor::WardexMonitor_Application>>
WardexMonitor::GetApplications() {
    Lock lock(mutex_);
    return applications;
}

bool WardexMonitor::ageAllApplications(unsigned short ms) {
    Lock lock(mutex_);
    bool hadErrors = false;
    for (std::size_t i = 0; i < applications.size(); ++i) {
        const auto record = applications[i];
        hadErrors = record->agingLocked(ms) || hadErrors;
    }
    if (sendPassedWhenWell && !hadErrors) sendMonitorActionLocked(lock, MonitorActionType::kPassed);
    return hadErrors;
}

void WardexMonitor::SendMonitorAction(MonitorActionType action) {
    Lock lock(mutex_);
    sendMonitorActionLocked(lock, action);
}

void WardexMonitor::sendMonitorActionLocked(Lock& lock, MonitorActionType action) {
    sendPassedWhenWell = true;
    const Verdict_sender sender = verdictSender;
    const std::uint64_t turn = verdictsDecided++;
    // Unlocked for the send: the event goes out through the communication
    // runtime, which never calls back into the monitor. The sends still go out
    // in the order in which the verdicts were decided, so that a kPassed decided
    // before a failure never arrives after its kFailed. Waiting for the turn
    // cannot deadlock: a thread with an earlier turn holds no lock while it
    // sends, and passes the turn on also when its send throws.
    Unlocked unlocked(lock);
    std::unique_lock<std::mutex> order(sendOrderMutex_);
    sendTurn_.wait(order, [&] { return verdictsSent == turn; });
    order.unlock();
    struct Turn_passer {
        WardexMonitor& monitor;
        ~Turn_passer() {
            const std::lock_guard<std::mutex> passing(monitor.sendOrderMutex_);
            ++monitor.verdictsSent;
            monitor.sendTurn_.notify_all();
        }
    } const passer{*this};
    if (sender) sender(action);
}

void WardexMonitor::calculateMesswert() {
    Lock lock(mutex_);
    calculateMesswertLocked();
}

void WardexMonitor::calculateMesswertLocked() {
    messwertCount[0] = 0;
    messwerte.clear();
    for (const auto& record : applications) {
        if (!record->messwertActive) continue;
        ++messwertCount[0];
        const auto bytes = string_to_hex(record->swid);
        messwerte.insert(messwerte.end(), bytes.begin(), bytes.end());
    }
}

void WardexMonitor::getMesswerte(std::array<std::uint8_t, 1>& count,
                                 std::vector<std::uint8_t>& data) {
    Lock lock(mutex_);
    count = messwertCount;
    data = messwerte;
}

void WardexMonitor::SetHostName(std::string name) {
    Lock lock(mutex_);
    hostName = std::move(name);
}

std::string WardexMonitor::GetHostName() {
    Lock lock(mutex_);
    return hostName;
}

void WardexMonitor::SetVerdictSender(Verdict_sender sender) {
    Lock lock(mutex_);
    verdictSender = std::move(sender);
}

}  // namespace norda::phm::wardex
