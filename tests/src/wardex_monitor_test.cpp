#include "app_fixture.h"

#include <atomic>
#include <tuple>
#include <future>
#include <thread>

namespace wardex_test {
namespace {

using ara::log::LogLevel;
using rk::dm::types::MonitorActionType;
using NT = NotificationType;
using Values = std::pair<std::uint8_t, Bytes>;
using Line = std::pair<LogLevel, std::vector<ara::log::Argument>>;
using Lines = std::vector<Line>;

ara::log::Argument text(const char* value) { return std::string(value); }

// The monitor's verdicts go into the journal and the log is captured.
class Monitor_test : public ::testing::Test, public Supervision {
protected:
    Monitor_test() {
        stopPhmAliveThread.store(false);
        monitor.SetVerdictSender([backend = backend](MonitorActionType action) {
            backend->note(action == MonitorActionType::kPassed ? "verdict kPassed" : "verdict kFailed");
        });
    }

    auto record(std::size_t index) { return monitor.GetApplications().at(index); }
    Values measuredValues() {
        std::array<std::uint8_t, 1> count{{0xEE}};
        Bytes data{0xEE};
        monitor.getMesswerte(count, data);
        return {count[0], data};
    }
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

constexpr char kCallbackLine[] = "Wardex Callback is called for the application '";
constexpr char kLimitLine[] = "Number of allowed Errors is reached: ";

Line callbackLine(const std::string& id, std::uint16_t before) {
    return {LogLevel::kInfo, {text(kCallbackLine), id, text("' number of already reported errors: "), before}};
}
Line limitLine(std::uint16_t count, std::uint16_t budget) {
    return {LogLevel::kInfo, {text(kLimitLine), count, text(" >= "), budget}};
}
std::string appName(int i) { return "app" + std::to_string(i); }

// Below the budget the error list runs, from the budget on (at once for a
// budget of zero) the limit list; every callback name counts against it. The
// count stops at its maximum: wrapping to 0 would make a failing application
// look well; the longest healing time does not overflow either.
TEST_F(Monitor_test, ErrorListBelowTheBudgetLimitListFromItAndTheCountStopsAtItsMaximum) {
    add("cam", 3, {NT::kRestartApplication}, {NT::kTerminateApplication});
    monitor.RegisterApplication(phm, "nav", 0, 0, {NT::kRestartApplication}, {NT::kTerminateApplication},
                                {"nav.alive", "nav.deadline"}, "12", 0, 1, "");
    add("max", 3, {NT::kRestartApplication}, {NT::kTerminateApplication});
    EXPECT_EQ(source->subscribed, (Strings{"cam.fail", "nav.alive", "nav.deadline", "max.fail"}));
    for (int i = 0; i < 4; ++i) fail("cam");
    phm.Deliver("nav.alive");
    phm.Deliver("nav.deadline");
    record(2)->InitializeErrorCounter(65534);
    fail("max");
    fail("max");

    EXPECT_EQ(journal(), (Strings{"restart cam", "restart cam", "stop cam", "stop cam", "stop nav", "stop nav",
                                  "stop max", "stop max"}));
    EXPECT_EQ(logged(kLimitLine), (Lines{limitLine(3, 3), limitLine(4, 3), limitLine(1, 0), limitLine(2, 0),
                                         limitLine(65535, 3), limitLine(65535, 3)}));

    add("slowest", 5, {}, {}, "12", 65535);  // 65535 minutes in ms overflow 32-bit signed
    fail("slowest");
    for (int pass = 0; pass < 3; ++pass) EXPECT_TRUE(record(3)->aging(65535));
    EXPECT_TRUE(record(3)->hadError());
    // A record the monitor does not own reaches its callbacks by address.
    WardexMonitor::WardexMonitor_Application plain({"plain.fail"}, {NT::kRestartApplication}, {}, 5, 0, &monitor,
                                                   "plain", "12", 0, 1, "");
    plain.RegisterCallbacks(phm);
    phm.Deliver("plain.fail");
    EXPECT_EQ(journal().back(), "restart plain");
}

// No verdict goes out while an application is erroneous, nor in the pass in
// which it heals (only once past its healing time); kPassed in every pass once
// all are well (also without applications, but not after a registration before
// any verdict).
TEST_F(Monitor_test, VerdictsWaitForAPassInWhichEveryApplicationIsWell) {
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    add("cam", 5, {NT::kDTC}, {}, "12", 1);
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    fail("cam");
    EXPECT_TRUE(monitor.ageAllApplications(60000));
    EXPECT_TRUE(record(0)->hadError());
    EXPECT_TRUE(monitor.ageAllApplications(1));
    EXPECT_FALSE(record(0)->hadError());
    EXPECT_EQ(logged("Application "),
              (Lines{{LogLevel::kDebug, {text("Application "), text("cam"), text(" got well again")}}}));
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_FALSE(monitor.ageAllApplications(5000));
    EXPECT_EQ(journal(), (Strings{"verdict kPassed", "verdict kFailed", "verdict kPassed", "verdict kPassed"}));
}

using Reactions = Monitor_test;

// An identifier shorter than two bytes still counts as a measured value, its
// missing bytes are logged as 0, and the list goes on.
TEST_F(Reactions, EveryReactionLogsItsExactLineAtItsLevelWithTypedArguments) {
    monitor.SetHostName("Kumo");
    add("cam", 5,
        {NT::kDLT, NT::kMesswert, NT::kTerminateApplication, NT::kRestartApplication, NT::kResetPlatform,
         NT::kDTC, NT::kRestartContainer, NT::kUpdateClient, NT::kUnknown, static_cast<NT>(9), NT::kDLT},
        {});
    add("one", 5, {NT::kMesswert, NT::kRestartContainer}, {}, "0x12");
    add("none", 5, {NT::kMesswert, NT::kRestartContainer}, {}, "");
    capture.clear();
    for (const char* id : {"cam", "one", "none"}) fail(id);

    const Line notWorking{LogLevel::kError,
                          {text("ERROR: cam not working properly for "), std::uint16_t{1},
                           text("times (Max allowed for this App: "), std::uint16_t{5}, text(").")}};
    const auto added = [](const char* swid, std::uint8_t first, std::uint8_t second) {
        return Line{LogLevel::kInfo, {std::string("Messwert for  ") + swid + "string to hex: ", first, second, text(").")}};
    };
    const auto info = [](const std::string& message) { return Line{LogLevel::kInfo, {message}}; };
    EXPECT_EQ(logged(""),
              (Lines{callbackLine("cam", 0), notWorking, added("cam is added. (SWID: 0x1234", 0x12, 0x34),
                     info("Stopping cam..."), info("Restarting cam..."),
                     {LogLevel::kWarn, {text("Resetting Platform via Watchdog...")}},
                     info("SendMonitorAction DTC kFailed because of cam..."),
                     info("RestartContainer is not implemented in Wardex (cam)."),
                     info("Update Client is deactivated in this Version of Wardex"), notWorking,
                     callbackLine("one", 0), added("one is added. (SWID: 0x12", 0x12, 0),
                     info("RestartContainer is not implemented in Wardex (one)."), callbackLine("none", 0),
                     added("none is added. (SWID: ", 0, 0), info("RestartContainer is not implemented in Wardex (none).")}));
    EXPECT_EQ(journal(), (Strings{"stop cam", "restart cam", "verdict kFailed"}));
    EXPECT_TRUE(stopPhmAliveThread.load());
    EXPECT_EQ(measuredValues(), (Values{3, {0x12, 0x34, 0x12}}));
}

TEST_F(Reactions, AnExceptionInEachTierIsLoggedAndDropsTheRestOfTheList) {
    const std::system_error refused(std::make_error_code(std::errc::connection_refused), "EM refused");
    const std::vector<std::pair<std::function<void()>, std::vector<ara::log::Argument>>> tiers{
        {[&] { throw refused; },
         {text("Unexpected system_error during Recovery Action in Wardex monitor of the Wardex: "),
          std::string(refused.what())}},
        {[] { throw std::runtime_error("EM gone"); },
         {text("Unexpected exception during Recovery Action in Wardex monitor of the Wardex:  "), text("EM gone")}},
        {[] { throw 42; },
         {text("Unknown exception happened during Recovery Action in Wardex monitor of the Wardex")}},
    };
    add("cam", 100, {NT::kRestartApplication, NT::kDTC, NT::kDLT}, {});
    for (const auto& [thrower, line] : tiers) {
        capture.clear();
        backend->onRequest = thrower;
        fail("cam");
        EXPECT_EQ(logged("Un"), (Lines{{LogLevel::kError, line}}));
        EXPECT_TRUE(logged("ERROR: ").empty());
    }
    EXPECT_TRUE(journal().empty());  // nor a verdict of the DTC reaction
    // The lock was given back: the monitor still serves readers and callbacks.
    backend->onRequest = nullptr;
    measuredValues();
    fail("cam");
    EXPECT_EQ(journal(), (Strings{"restart cam", "verdict kFailed"}));
}

// A list acts as if it held the lock throughout, though EM requests run
// without it (an aging pass inside each would deadlock otherwise): an aging
// pass during a request leaves the record to the next pass, and a record
// cleared during one ends its list there. On "qemu-arm64" the platform is reset through EM.
TEST_F(Reactions, AgingPassDuringAnEmRequestLeavesTheRecordToTheNextPass) {
    monitor.SetHostName("qemu-arm64");
    add("cam", 5, {NT::kTerminateApplication, NT::kRestartApplication, NT::kResetPlatform, NT::kMesswert}, {},
        "0x1234", 0);
    std::vector<bool> passes;
    backend->onRequest = [&] { passes.push_back(monitor.ageAllApplications(5000)); };
    fail("cam");
    EXPECT_EQ(passes, std::vector<bool>(3, true));
    EXPECT_EQ(journal(), (Strings{"stop cam", "restart cam", "reset 5000"}));
    EXPECT_FALSE(stopPhmAliveThread.load());
    EXPECT_EQ(logged("Resetting"), (Lines{{LogLevel::kDebug, {text("Resetting Platform via EM in Qemu...")}}}));
    EXPECT_TRUE(record(0)->hadError());
    EXPECT_EQ(measuredValues(), (Values{1, {0x12, 0x34}}));

    backend->onRequest = nullptr;
    EXPECT_TRUE(monitor.ageAllApplications(5000));
    EXPECT_FALSE(record(0)->hadError());
    EXPECT_EQ(measuredValues(), (Values{0, {}}));
}

TEST_F(Reactions, RecordClearedDuringAnEmRequestEndsItsListAndKeepsTheMeasuredValues) {
    add("nav", 5, {NT::kMesswert}, {}, "0xABCD");
    add("cam", 5, {NT::kRestartApplication, NT::kMesswert, NT::kDLT}, {});
    fail("nav");
    backend->onRequest = [&] { monitor.ClearApplications(); };
    capture.clear();
    fail("cam");
    EXPECT_EQ(journal(), Strings{"restart cam"});
    EXPECT_EQ(logged(""), (Lines{callbackLine("cam", 0), {LogLevel::kInfo, {text("Restarting cam...")}}}));
    EXPECT_EQ(measuredValues(), (Values{1, {0xAB, 0xCD}}));
}

// A kPassed decided by an aging pass but not yet sent when a failure sends
// kFailed goes out first, so the event manager ends on the failure.
TEST_F(Reactions, VerdictsGoOutInTheOrderTheyWereDecided) {
    add("cam", 1, {}, {NT::kDTC}, "12", 0);
    fail("cam");
    monitor.ageAllApplications(5000);
    std::promise<void> passedEntered, releasePassed;
    auto released = releasePassed.get_future().share();
    monitor.SetVerdictSender([&, released](MonitorActionType action) {
        if (action == MonitorActionType::kPassed) {
            passedEntered.set_value();
            released.wait();
        }
        backend->note(action == MonitorActionType::kPassed ? "verdict kPassed" : "verdict kFailed");
    });
    std::thread aging([this] { monitor.ageAllApplications(5000); });
    passedEntered.get_future().wait();
    std::thread failure([this] { fail("cam"); });
    ASSERT_TRUE(capture.wait_for_text("SendMonitorAction DTC kFailed because of cam..."));
    // Time for a send that does not wait its turn to overtake.
    for (int waited = 0; waited < 200 && journal().size() < 2; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(measuredValues(), (Values{0, {}}));  // a read does not wait behind the blocked send
    releasePassed.set_value();
    aging.join();
    failure.join();
    EXPECT_EQ(journal(), (Strings{"verdict kFailed", "verdict kPassed", "verdict kFailed"}));
}

TEST_F(Monitor_test, MeasuredValueCountWrapsAt256) {
    for (int i = 0; i < 256; ++i) add(appName(i), 5, {NT::kMesswert}, {}, "0xA5"), fail(appName(i));
    EXPECT_EQ(measuredValues(), (Values{0, Bytes(256, 0xA5)}));
}

TEST(Texts, HexIdentifiersAndReactionKeywords) {
    const Strings keywords{"DLT", "Messwert", "TerminateApplication", "RestartApplication", "ResetPlatform", "DTC",
                           "RestartContainer", "UpdateClient", "Unknown", "Unknown", "Unknown"};
    for (int value = 0; value < 11; ++value) EXPECT_EQ(getStringFromCallbackActionEnum(NT(value)), keywords[value]);
    const std::vector<std::pair<std::string, Bytes>> examples{
        {"1234", {0x12, 0x34}}, {"123", {0x01, 0x23}}, {"0x123", {0x01, 0x23}}, {"ABCDEF", {0xAB, 0xCD, 0xEF}},
        {"0x", {}}, {"0X12", {0x00, 0x12}}, {"zz", {0x00}}, {"0x10x2", {0x00, 0x10, 0x02}},
        {"abcdef", {0xAB, 0xCD, 0xEF}}, {"9g", {0x90}}};
    for (const auto& [input, bytes] : examples) EXPECT_EQ(norda::phm::wardex::string_to_hex(input), bytes) << input;
}

using RecordLifetime = Monitor_test;

// Whether something still holds the cleared record or not; so does a record
// dropped by a failed registration.
TEST_F(RecordLifetime, FailureForAClearedOrDroppedRecordReachesNothing) {
    add("cam", 5, {NT::kMesswert, NT::kRestartApplication}, {});
    fail("cam");
    auto kept = record(0);
    const std::weak_ptr<WardexMonitor::WardexMonitor_Application> dropped = kept;
    monitor.ClearApplications();
    capture.clear();

    fail("cam");
    kept->sendMesswert();  // already set: the kept values are not recomputed
    kept.reset();
    EXPECT_TRUE(dropped.expired());
    fail("cam");
    EXPECT_TRUE(capture.records().empty());
    source->refused.insert("nav.deadline");
    EXPECT_THROW(monitor.RegisterApplication(phm, "nav", 5, 0, {NT::kRestartApplication}, {},
                                             {"nav.alive", "nav.deadline"}, "12", 0, 1, ""),
                 std::runtime_error);
    EXPECT_TRUE(monitor.GetApplications().empty());
    phm.Deliver("nav.alive");
    EXPECT_TRUE(logged(kCallbackLine).empty());
    EXPECT_EQ(journal(), Strings{"restart cam"});
    EXPECT_EQ(measuredValues(), (Values{1, {0x12, 0x34}}));
    monitor.calculateMesswert();
    EXPECT_EQ(measuredValues(), (Values{0, {}}));
}

// --- the callback thread, the aging thread and a diagnostic reader at once;
// meant to run under ThreadSanitizer as well.

constexpr int kApplications = 8;
constexpr int kFailures = 400;

// A copy is consistent when its count matches its bytes and the bytes are
// whole identifiers of distinct applications in list order.
bool consistent(std::uint8_t count, const Bytes& data) {
    if (data.size() != 2u * count) return false;
    for (std::size_t at = 0; at < data.size(); at += 2) {
        const int index = data[at] - 0xA0;
        if ((at > 0 && index <= data[at - 2] - 0xA0) || index >= kApplications || data[at + 1] != 0xB0 + index) {
            return false;
        }
    }
    return true;
}

// Every read sees one whole state, and no record healed while its list was
// under way keeps a measured value after the last pass. Then, as at shutdown,
// the list is cleared while failures still arrive.
TEST_F(Monitor_test, CallbacksAgingReadsAndClearingAtOnce) {
    for (int i = 0; i < kApplications; ++i) {
        add(appName(i), 3, {NT::kRestartApplication, NT::kMesswert}, {NT::kMesswert, NT::kDTC, NT::kRestartApplication},
            "0xA" + std::to_string(i) + "B" + std::to_string(i), 0);  // the bytes 0xAi 0xBi
    }
    const auto failures = [this] {
        for (int i = 0; i < kFailures; ++i) fail(appName(i % kApplications));
    };
    std::thread callbacks(failures);
    std::atomic<bool> stopReading{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stopReading.load()) torn += std::apply(consistent, measuredValues()) ? 0 : 1;
    });
    std::thread aging([this] {
        for (int pass = 0; pass < 400; ++pass) monitor.ageAllApplications(5000);
    });
    callbacks.join();
    aging.join();
    stopReading.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(capture.count("Restarting app0..."), static_cast<std::size_t>(kFailures / kApplications));
    EXPECT_TRUE(std::apply(consistent, measuredValues()));
    monitor.ageAllApplications(5000);
    EXPECT_EQ(measuredValues(), (Values{0, {}}));

    std::thread late(failures);
    monitor.ClearApplications();
    late.join();
    EXPECT_TRUE(monitor.GetApplications().empty());
}

}  // namespace
}  // namespace wardex_test
