// Shared set-up of the supervision monitor tests: a monitor on a recording
// execution backend and a PHM callback client fed by a scripted failure
// source, with the log captured and the verdicts written into the backend's
// journal so that they can be ordered against EM requests.
#pragma once

#include "WardexGlobals.h"
#include "WardexMonitor.h"
#include "recording_execution_backend.h"
#include "scripted_failure_source.h"

#include "ara/log/capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wardex_test {

using norda::phm::wardex::NotificationType;
using norda::phm::wardex::WardexMonitor;
using rk::dm::types::MonitorActionType;
using Args = std::vector<ara::log::Argument>;
using Line = std::pair<ara::log::LogLevel, Args>;
using Lines = std::vector<Line>;

inline ara::log::Argument text(const char* value) { return std::string(value); }
inline ara::log::Argument text(const std::string& value) { return value; }

class Monitor_test : public ::testing::Test {
protected:
    Monitor_test() {
        stopPhmAliveThread.store(false);
        monitor.SetVerdictSender([backend = backend](MonitorActionType action) {
            backend->note(action == MonitorActionType::kPassed ? "verdict kPassed"
                                                               : "verdict kFailed");
        });
    }
    ~Monitor_test() override { stopPhmAliveThread.store(false); }

    void add(const std::string& id, unsigned short budget, std::vector<NotificationType> errors,
             std::vector<NotificationType> limits, const std::string& swid = "0x1234",
             unsigned short healingMinutes = 1) {
        monitor.RegisterApplication(phm, id, budget, 0, std::move(errors), std::move(limits),
                                    {id + ".fail"}, swid, 7, healingMinutes, "MW1");
    }

    // Delivers one failure on the calling thread, as the client's Run would.
    void fail(const std::string& id) { phm.Deliver(id + ".fail"); }

    std::shared_ptr<WardexMonitor::WardexMonitor_Application> record(std::size_t index) {
        return monitor.GetApplications().at(index);
    }

    std::vector<std::string> journal() const { return backend->journal(); }

    // Level and arguments of the captured messages whose first argument starts
    // with the prefix; every message for an empty prefix.
    Lines logged(const std::string& prefix) const {
        Lines found;
        for (const auto& entry : capture.records()) {
            const auto* first = entry.arguments.empty()
                                    ? nullptr
                                    : std::get_if<std::string>(&entry.arguments.front());
            if (prefix.empty() || (first != nullptr && first->rfind(prefix, 0) == 0)) {
                found.emplace_back(entry.level, entry.arguments);
            }
        }
        return found;
    }

    std::pair<std::uint8_t, std::vector<std::uint8_t>> measuredValues() {
        std::array<std::uint8_t, 1> count{{0xEE}};
        std::vector<std::uint8_t> data{0xEE};
        monitor.getMesswerte(count, data);
        return {count[0], data};
    }

    ara::log::Capture capture;
    std::shared_ptr<Recording_execution_backend> backend =
        std::make_shared<Recording_execution_backend>();
    ara::exec::Recovery_action_client client{backend};
    Scripted_failure_source* source = new Scripted_failure_source;
    ara::phm::PhmCallbackClient phm{std::unique_ptr<ara::phm::Failure_source>(source)};
    WardexMonitor monitor{true, client};
};

}  // namespace wardex_test
