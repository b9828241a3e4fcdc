// Shared set-up of the application tests: test doubles of PHM and of execution
// management (a journal of its requests, into which tests also write verdicts
// to order them against the requests), a supervision monitor on the two, and
// the communication runtime on a fake transport for the diagnostic services.
#pragma once

#include "DiagnosticMonitor.h"
#include "WardexGlobals.h"
#include "WardexMonitor.h"

#include "ara/exec/exec_backend.h"
#include "ara/exec/recovery_action_client.h"
#include "ara/log/capture.h"
#include "ara/phm/phm_callback_client.h"
#include "rk/com/runtime/component_singleton.h"
#include "rk/com/runtime/fake_transport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <set>

namespace wardex_test {

using norda::phm::wardex::NotificationType;
using norda::phm::wardex::WardexMonitor;
using rk::dm::types::MonitorActionType;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;
using Line = std::pair<ara::log::LogLevel, std::vector<ara::log::Argument>>;
using Lines = std::vector<Line>;

inline ara::log::Argument text(const char* value) { return std::string(value); }

// The texts of the captured messages of one level (and context, unless empty).
inline Strings texts(const ara::log::Capture& capture, ara::log::LogLevel level, const std::string& context = "") {
    Strings found;
    for (const auto& record : capture.records()) {
        if (record.level == level && (context.empty() || record.context == context)) found.push_back(record.text());
    }
    return found;
}

// Failures are delivered through the client by the tests; Run only waits
// for the stop. `refused`, `subscribed` and `onStop` are set before any Run.
class Scripted_failure_source final : public ara::phm::Failure_source {
public:
    void subscribe(const std::string& name) override {
        if (refused.count(name) != 0) throw std::runtime_error("PHM refused " + name);
        subscribed.push_back(name);
    }
    void run(const std::function<void(const std::string&)>&) override {
        std::unique_lock<std::mutex> lock(mutex_);
        stopped_changed_.wait(lock, [this] { return stopped_; });
    }
    void stop() override {
        if (onStop) onStop();
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        stopped_changed_.notify_all();
    }
    std::set<std::string> refused;
    Strings subscribed;
    std::function<void()> onStop;

private:
    std::mutex mutex_;
    std::condition_variable stopped_changed_;
    bool stopped_ = false;
};

// Each request runs `onRequest` (set while no request runs; it may throw, as
// a refused request does) on the requesting thread, then goes into the journal.
class Recording_execution_backend final : public ara::exec::Execution_backend {
public:
    void report_state(ara::exec::ApplicationState) noexcept override {}
    void restart_instance(const std::string& instance) override { request("restart " + instance); }
    void stop_instance(const std::string& instance) override { request("stop " + instance); }
    void reset_platform(int delay_ms) override { request("reset " + std::to_string(delay_ms)); }
    void note(const std::string& entry) {
        const std::lock_guard<std::mutex> lock(mutex_);
        journal_.push_back(entry);
    }
    Strings journal() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return journal_;
    }
    std::function<void()> onRequest;

private:
    void request(const std::string& entry) {
        if (onRequest) onRequest();
        note(entry);
    }
    mutable std::mutex mutex_;
    Strings journal_;
};

// A supervision monitor on the doubles; its verdicts go the default way.
struct Supervision {
    void add(const std::string& id, unsigned short budget, std::vector<NotificationType> errors,
             std::vector<NotificationType> limits, const std::string& swid = "0x1234",
             unsigned short healingMinutes = 1) {
        monitor.RegisterApplication(phm, id, budget, 0, std::move(errors), std::move(limits),
                                    {id + ".fail"}, swid, 7, healingMinutes, "MW1");
    }
    // One failure, delivered on the calling thread as the client's Run would.
    void fail(const std::string& id) { phm.Deliver(id + ".fail"); }
    std::shared_ptr<WardexMonitor::WardexMonitor_Application> record(std::size_t index) {
        return monitor.GetApplications().at(index);
    }
    Strings journal() const { return backend->journal(); }
    std::pair<std::uint8_t, Bytes> measuredValues() {
        std::array<std::uint8_t, 1> count{{0xEE}};
        Bytes data{0xEE};
        monitor.getMesswerte(count, data);
        return {count[0], data};
    }

    std::shared_ptr<Recording_execution_backend> backend = std::make_shared<Recording_execution_backend>();
    ara::exec::Recovery_action_client client{backend};
    Scripted_failure_source* source = new Scripted_failure_source;
    ara::phm::PhmCallbackClient phm{std::unique_ptr<ara::phm::Failure_source>(source)};
    WardexMonitor monitor{true, client};
};

// The monitor's verdicts go into the journal and the log is captured.
class Monitor_test : public ::testing::Test, public Supervision {
protected:
    Monitor_test() {
        stopPhmAliveThread.store(false);
        monitor.SetVerdictSender([backend = backend](MonitorActionType action) {
            backend->note(action == MonitorActionType::kPassed ? "verdict kPassed" : "verdict kFailed");
        });
    }
    ~Monitor_test() override { stopPhmAliveThread.store(false); }

    // The messages whose first argument starts with the prefix; all for "".
    Lines logged(const std::string& prefix) const {
        Lines found;
        for (const auto& entry : capture.records()) {
            const auto* first = std::get_if<std::string>(&entry.arguments.at(0));
            if (first != nullptr && first->rfind(prefix, 0) == 0) found.emplace_back(entry.level, entry.arguments);
        }
        return found;
    }

    ara::log::Capture capture;
};

inline const rk::com::cpp_binding::Service_info dtc_monitor_479232{
    tq::com::runtime::Service_id("rk::dm::dem::DiagnosticMonitor"), tq::com::runtime::Instance_id("479232")};

// The runtime on a fake transport, which plays the diagnostic event manager
// and the tester; the DTC monitor singleton goes while the runtime still lives.
class Service_test : public ::testing::Test {
protected:
    Service_test() { norda::phm::wardex::dm_instance.reset(); }
    ~Service_test() override { norda::phm::wardex::dm_instance.reset(); }

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
    Strings texts(ara::log::LogLevel level) const { return wardex_test::texts(capture, level, "WDX"); }
    std::size_t incidentCount(const std::string& name) const {
        std::size_t n = 0;
        for (const auto& text : capture.texts()) n += text.rfind(R"({"1_incident":{"1_id":")" + name + "\"", 0) == 0;
        return n;
    }

    ara::log::Capture capture;
    std::shared_ptr<rk::com::runtime::Fake_transport> transport = std::make_shared<rk::com::runtime::Fake_transport>();
    rk::com::runtime::Component_singleton component{transport};
};

}  // namespace wardex_test
