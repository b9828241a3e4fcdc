// The supervision monitor: the records of the watched applications, their PHM
// callbacks, error budgets and reactions, the periodic healing, the measured
// values ("Messwerte") and the DTC verdicts.
//
// One mutex serialises the monitor and all its records. It is taken where a
// thread enters (a PHM callback, an aging pass, getMesswerte, a registration,
// a clear, and the other public operations); the inner steps run with it held
// and never take it again. It is released, and retaken afterwards, around each
// request to execution management and each verdict send; a reaction list
// still acts as if it held the lock throughout (see recoveryActionLocked).
#pragma once

#include "NotificationType.h"

#include "ara/exec/recovery_action_client.h"
#include "ara/phm/phm_callback_client.h"
#include "rk/dm/types/dm_types.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace norda::phm::wardex {

// The decimal value of one hexadecimal digit; 0 for every other character.
std::uint8_t hex_value(char c);

// Decodes a software identifier written as hexadecimal text (an optional
// leading lower-case "0x"; an odd digit count makes the first digit a byte by
// itself) into bytes.
std::vector<std::uint8_t> string_to_hex(const std::string& s);

class WardexMonitor {
public:
    // Carries a verdict to the diagnostic event manager. Called without the
    // monitor's lock held, on the thread that produced the verdict, one call at
    // a time and in the order in which the verdicts were decided. It must not
    // lead to another verdict on its own thread, which would wait for its turn.
    using Verdict_sender = std::function<void(rk::dm::types::MonitorActionType)>;

    class WardexMonitor_Application
        : public std::enable_shared_from_this<WardexMonitor_Application> {
    public:
        WardexMonitor_Application(std::vector<std::string> phmCallbackNames,
                                  std::vector<NotificationType> callbackErrorHandling,
                                  std::vector<NotificationType> callbackLimitErrorHandling,
                                  unsigned short numberOfAllowedErrors,
                                  unsigned short numberOfReportedErrors, WardexMonitor* monitor,
                                  std::string appInstanceId, std::string swid, unsigned short gid,
                                  unsigned short counterHealingTimeMin, std::string messwertId);

        // Registers Callback() under every callback name. A record owned by a
        // std::shared_ptr registers callbacks that do nothing once the record is
        // gone; a record owned otherwise must outlive the client's Run.
        void RegisterCallbacks(ara::phm::PhmCallbackClient& client);

        // One supervision failure reported by PHM: counts it and runs the error
        // list, or the limit list once the budget is used up.
        void Callback();

        // One aging step of ms milliseconds; false when the record had no errors.
        bool aging(unsigned short ms);
        void getWell();
        void sendMesswert();
        void InitializeErrorCounter(unsigned short n);
        bool hadError();

        // Carries out the reactions in list order; no exception leaves it.
        void RecoveryAction(std::vector<NotificationType> actions);

        std::string GetApplicationInstanceId();
        std::string GetSWID();
        std::vector<std::string> GetPhmCallbackNames();
        std::vector<NotificationType> GetCallbackErrorHandling();
        std::vector<NotificationType> GetCallbackLimitErrorHandling();
        unsigned short GetNumberOfAllowedErrors();
        unsigned short GetNumberofReportedErrors();

    private:
        friend class WardexMonitor;
        using Lock = std::unique_lock<std::mutex>;

        Lock lockMonitor();
        void callbackLocked(Lock& lock);
        bool agingLocked(unsigned short ms);
        void getWellLocked();
        void sendMesswertLocked();
        void recoveryActionLocked(Lock& lock, const std::vector<NotificationType>& actions);
        void runReactionLocked(Lock& lock, NotificationType action);
        void addMesswertLocked();
        void resetPlatformLocked(Lock& lock);

        bool messwertActive = false;
        // Reaction lists of this record under way; while one is, aging leaves
        // the record alone.
        unsigned listsRunning = 0;
        // Set by ClearApplications: the record's lists and callbacks stop.
        bool cleared = false;
        const std::vector<std::string> phmCallbackNames;
        const std::vector<NotificationType> callbackErrorHandling;
        const std::vector<NotificationType> callbackLimitErrorHandling;
        const std::uint16_t numberOfAllowedErrors;
        std::uint16_t numberOfReportedErrors;
        WardexMonitor* const monitor;
        const std::string appInstanceId;
        const std::string swid;
        [[maybe_unused]] const std::uint16_t gid;
        std::uint32_t agingTimeMs = 0;
        const std::uint16_t counterHealingTimeMin;
        [[maybe_unused]] const std::string messwertId;
    };

    // The process-wide monitor, created on the first call (safe from several threads).
    static WardexMonitor& instance();

    // Uses the process-wide recovery_action_client1.
    explicit WardexMonitor(bool monitoringActive);
    // The client must stay valid as long as reactions can run; the destructor does not use it.
    WardexMonitor(bool monitoringActive, ara::exec::Recovery_action_client& client);
    virtual ~WardexMonitor();
    WardexMonitor(const WardexMonitor&) = delete;
    WardexMonitor& operator=(const WardexMonitor&) = delete;

    void RegisterApplication(ara::phm::PhmCallbackClient& client, std::string appInstanceId,
                             unsigned short numberOfAllowedErrors,
                             unsigned short numberOfReportedErrors,
                             std::vector<NotificationType> callbackErrorHandling,
                             std::vector<NotificationType> callbackLimitErrorHandling,
                             std::vector<std::string> phmCallbackNames, std::string swid,
                             unsigned short gid, unsigned short counterHealingTimeMin,
                             std::string messwertId);

    void MonitoringActive(bool active);
    // Drops every record; the measured values keep their last contents.
    void ClearApplications();
    std::vector<std::shared_ptr<WardexMonitor_Application>> GetApplications();

    // One aging pass over all records; true when at least one had errors.
    bool ageAllApplications(unsigned short ms);

    void SendMonitorAction(rk::dm::types::MonitorActionType action);
    void calculateMesswert();
    // Copies the measured values as they stand between two recomputations.
    void getMesswerte(std::array<std::uint8_t, 1>& count, std::vector<std::uint8_t>& data);

    // The partition host name; "qemu-arm64" makes a platform reset go through EM.
    void SetHostName(std::string name);
    std::string GetHostName();

    // Where verdicts go. The default sender is defaultVerdictSender().
    void SetVerdictSender(Verdict_sender sender);

private:
    using Lock = std::unique_lock<std::mutex>;

    void calculateMesswertLocked();
    void sendMonitorActionLocked(Lock& lock, rk::dm::types::MonitorActionType action);

    std::mutex mutex_;
    std::array<std::uint8_t, 1> messwertCount{{0}};
    std::vector<std::uint8_t> messwerte;
    std::string hostName;
    ara::exec::Recovery_action_client& recoveryActionClient;
    bool monitoringActive;
    bool sendPassedWhenWell = true;
    std::vector<std::shared_ptr<WardexMonitor_Application>> applications;
    Verdict_sender verdictSender;
    // Verdicts are numbered under mutex_ as they are decided and sent in that
    // order: a verdict waits until all earlier ones have been sent.
    std::uint64_t verdictsDecided = 0;
    std::mutex sendOrderMutex_;
    std::condition_variable sendTurn_;
    std::uint64_t verdictsSent = 0;

    static std::unique_ptr<WardexMonitor> m_instance;
};

// Where a monitor's verdicts go unless SetVerdictSender chose otherwise: it sends the verdict as the MonitorAction event of the DTC monitor service,
// creating and offering that service on first use.
void defaultVerdictSender(rk::dm::types::MonitorActionType action);

// The recovery client of the process-wide monitor.
extern ara::exec::Recovery_action_client recovery_action_client1;

}  // namespace norda::phm::wardex
