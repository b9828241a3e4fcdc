#include "monitor_fixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace wardex_test {
namespace {

using ara::log::LogLevel;
using NT = NotificationType;
using norda::phm::wardex::string_to_hex;
using Bytes = std::vector<std::uint8_t>;
using Values = std::pair<std::uint8_t, Bytes>;

constexpr char kCallbackLine[] = "Wardex Callback is called for the application '";
constexpr char kLimitLine[] = "Number of allowed Errors is reached: ";

Line callbackLine(const std::string& id, std::uint16_t before) {
    return {LogLevel::kInfo,
            {text(kCallbackLine), text(id), text("' number of already reported errors: "), before}};
}

Line limitLine(std::uint16_t count, std::uint16_t budget) {
    return {LogLevel::kInfo, {text(kLimitLine), count, text(" >= "), budget}};
}

// --- error budget

using Budget = Monitor_test;

// Below the budget the error list runs, from the budget on (at once for a
// budget of zero) the limit list; every callback name counts against it.
TEST_F(Budget, ErrorListBelowTheBudgetAndLimitListFromIt) {
    add("cam", 3, {NT::kRestartApplication}, {NT::kTerminateApplication});
    monitor.RegisterApplication(phm, "nav", 0, 0, {NT::kRestartApplication}, {NT::kTerminateApplication},
                                {"nav.alive", "nav.deadline"}, "12", 0, 1, "");
    EXPECT_EQ(source->subscribed(), (std::vector<std::string>{"cam.fail", "nav.alive", "nav.deadline"}));
    const auto registered = [](const char* name) {
        return Line{LogLevel::kDebug, {text("\t\tcallback is registered: "), text(name)}};
    };
    EXPECT_EQ(logged("\t\tcallback is registered: "),
              (Lines{registered("cam.fail"), registered("nav.alive"), registered("nav.deadline")}));
    for (int i = 0; i < 4; ++i) fail("cam");
    phm.Deliver("nav.alive");
    phm.Deliver("nav.deadline");

    EXPECT_EQ(journal(), (std::vector<std::string>{"restart cam", "restart cam", "stop cam",
                                                    "stop cam", "stop nav", "stop nav"}));
    EXPECT_EQ(logged(kCallbackLine), (Lines{callbackLine("cam", 0), callbackLine("cam", 1),
                                            callbackLine("cam", 2), callbackLine("cam", 3),
                                            callbackLine("nav", 0), callbackLine("nav", 1)}));
    EXPECT_EQ(logged(kLimitLine),
              (Lines{limitLine(3, 3), limitLine(4, 3), limitLine(1, 0), limitLine(2, 0)}));
}

TEST_F(Budget, CountStopsAtItsMaximumSoAFailingApplicationNeverLooksWell) {
    add("cam", 3, {NT::kRestartApplication}, {NT::kTerminateApplication});
    record(0)->InitializeErrorCounter(65534);
    fail("cam");
    fail("cam");

    EXPECT_EQ(journal(), (std::vector<std::string>{"stop cam", "stop cam"}));
    EXPECT_EQ(record(0)->GetNumberofReportedErrors(), 65535);
    EXPECT_TRUE(record(0)->hadError());
    EXPECT_TRUE(record(0)->aging(5000));
    EXPECT_EQ(logged(kCallbackLine), (Lines{callbackLine("cam", 65534), callbackLine("cam", 65535)}));
    EXPECT_EQ(logged(kLimitLine).back(), limitLine(65535, 3));
}

// --- aging and healing

using Healing = Monitor_test;

// An error between passes starts the healing time again.
TEST_F(Healing, OneMinuteHealsInTheThirteenthPassOfFiveSecondsAfterTheLastError) {
    add("cam", 5, {}, {}, "12", 1);
    fail("cam");
    for (int pass = 0; pass < 12; ++pass) monitor.ageAllApplications(5000);
    fail("cam");
    for (int pass = 1; pass <= 12; ++pass) {
        EXPECT_TRUE(monitor.ageAllApplications(5000)) << pass;
        EXPECT_TRUE(record(0)->hadError()) << pass;
    }
    EXPECT_TRUE(logged("Application ").empty());
    EXPECT_EQ(record(0)->GetNumberofReportedErrors(), 2);
    EXPECT_TRUE(monitor.ageAllApplications(5000));
    EXPECT_FALSE(record(0)->hadError());
    EXPECT_EQ(logged("Application "),
              (Lines{{LogLevel::kDebug, {text("Application "), text("cam"), text(" got well again")}}}));
    EXPECT_FALSE(monitor.ageAllApplications(5000));
}

TEST_F(Healing, LongestHealingTimesAreComputedWithoutOverflow) {
    // 40000 and 65535 minutes in milliseconds do not fit a signed 32-bit int.
    add("slow", 5, {}, {}, "12", 40000);
    add("slowest", 5, {}, {}, "12", 65535);
    fail("slow");
    fail("slowest");
    for (int pass = 0; pass < 100; ++pass) monitor.ageAllApplications(65535);
    EXPECT_TRUE(record(0)->hadError());
    EXPECT_TRUE(record(1)->hadError());
}

// --- reactions

using Reactions = Monitor_test;

TEST_F(Reactions, EveryReactionLogsItsExactLineAtItsLevelWithTypedArguments) {
    monitor.SetHostName("Kumo");
    add("cam", 5,
        {NT::kDLT, NT::kMesswert, NT::kTerminateApplication, NT::kRestartApplication,
         NT::kResetPlatform, NT::kDTC, NT::kRestartContainer, NT::kUpdateClient, NT::kUnknown,
         static_cast<NT>(8), static_cast<NT>(9), NT::kDLT},
        {});
    capture.clear();
    fail("cam");

    const Line notWorking{
        LogLevel::kError,
        {text("ERROR: cam not working properly for "), std::uint16_t{1},
         text("times (Max allowed for this App: "), std::uint16_t{5}, text(").")}};
    EXPECT_EQ(logged(""),
              (Lines{callbackLine("cam", 0),
                     notWorking,
                     {LogLevel::kInfo,
                      {text("Messwert for  cam is added. (SWID: 0x1234string to hex: "),
                       std::uint8_t{18}, std::uint8_t{52}, text(").")}},
                     {LogLevel::kInfo, {text("Stopping cam...")}},
                     {LogLevel::kInfo, {text("Restarting cam...")}},
                     {LogLevel::kWarn, {text("Resetting Platform via Watchdog...")}},
                     {LogLevel::kInfo, {text("SendMonitorAction DTC kFailed because of cam...")}},
                     {LogLevel::kInfo, {text("RestartContainer is not implemented in Wardex (cam).")}},
                     {LogLevel::kInfo, {text("Update Client is deactivated in this Version of Wardex")}},
                     notWorking}));
    EXPECT_EQ(journal(), (std::vector<std::string>{"stop cam", "restart cam", "verdict kFailed"}));
    EXPECT_TRUE(stopPhmAliveThread.load());
    EXPECT_EQ(measuredValues(), (Values{1, {0x12, 0x34}}));
}

TEST_F(Reactions, PlatformResetGoesThroughEmOnlyOnQemu) {
    add("cam", 5, {}, {});
    monitor.SetHostName("qemu-arm64");
    record(0)->RecoveryAction({NT::kResetPlatform});
    EXPECT_EQ(journal(), std::vector<std::string>{"reset 5000"});
    EXPECT_FALSE(stopPhmAliveThread.load());
    EXPECT_EQ(logged("Resetting Platform"),
              (Lines{{LogLevel::kDebug, {text("Resetting Platform via EM in Qemu...")}}}));

    for (const char* host : {"Kumo", "", "QEMU-ARM64", "qemu-arm64 "}) {
        stopPhmAliveThread.store(false);
        monitor.SetHostName(host);
        record(0)->RecoveryAction({NT::kResetPlatform, NT::kUpdateClient});
        EXPECT_TRUE(stopPhmAliveThread.load()) << '"' << host << '"';
        EXPECT_EQ(logged("Update Client").size(), capture.count("Resetting Platform via Watchdog..."));
    }
    EXPECT_EQ(journal(), std::vector<std::string>{"reset 5000"});
    EXPECT_EQ(capture.count("Resetting Platform via Watchdog..."), 4u);
}

TEST_F(Reactions, AnExceptionInEachTierIsLoggedAndDropsTheRestOfTheList) {
    using Failure = Recording_execution_backend::Failure;
    const std::string systemError =
        std::system_error(std::make_error_code(std::errc::connection_refused), "EM refused")
            .what();
    const std::vector<std::pair<Failure, Args>> tiers{
        {Failure::kSystemError,
         {text("Unexpected system_error during Recovery Action in Wardex monitor of the Wardex: "),
          text(systemError)}},
        {Failure::kRuntimeError,
         {text("Unexpected exception during Recovery Action in Wardex monitor of the Wardex:  "),
          text("EM gone")}},
        {Failure::kNonStd,
         {text("Unknown exception happened during Recovery Action in Wardex monitor of the "
               "Wardex")}},
    };
    add("cam", 100, {NT::kRestartApplication, NT::kDTC, NT::kDLT}, {});
    for (const auto& [failure, line] : tiers) {
        capture.clear();
        backend->fail_with(failure);
        fail("cam");
        EXPECT_EQ(logged("Un"), (Lines{{LogLevel::kError, line}}));
        EXPECT_TRUE(logged("SendMonitorAction").empty());
        EXPECT_TRUE(logged("ERROR: ").empty());
    }
    EXPECT_TRUE(journal().empty());
    // The lock was given back: the monitor still serves readers and callbacks.
    backend->fail_with(Failure::kNone);
    measuredValues();
    fail("cam");
    EXPECT_EQ(journal(), (std::vector<std::string>{"restart cam", "verdict kFailed"}));
}

TEST_F(Reactions, ShortIdentifierStillCountsAsMeasuredValueAndTheListGoesOn) {
    add("one", 5, {NT::kMesswert, NT::kRestartApplication}, {}, "0x12");
    add("none", 5, {NT::kMesswert, NT::kRestartApplication}, {}, "");
    fail("one");
    fail("none");

    EXPECT_EQ(journal(), (std::vector<std::string>{"restart one", "restart none"}));
    EXPECT_EQ(logged("Messwert for  "),
              (Lines{{LogLevel::kInfo,
                      {text("Messwert for  one is added. (SWID: 0x12string to hex: "),
                       std::uint8_t{0x12}, std::uint8_t{0}, text(").")}},
                     {LogLevel::kInfo,
                      {text("Messwert for  none is added. (SWID: string to hex: "), std::uint8_t{0},
                       std::uint8_t{0}, text(").")}}}));
    EXPECT_EQ(measuredValues(), (Values{2, {0x12}}));
}

// The monitor's lock must be free while EM works on a request and while a
// verdict is sent, so that a diagnostic read never waits behind them; the
// reactions still run in the order of their list.
TEST_F(Reactions, EmRequestsAndVerdictSendsRunWithoutTheMonitorLockInListOrder) {
    auto readsFromAnotherThread = [this] {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        std::thread reader([this, done] {
            measuredValues();
            done->set_value();
        });
        const bool read = finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (read) {
            reader.join();
        } else {
            reader.detach();
        }
        return read;
    };
    std::vector<bool> reads;
    backend->on_request([&] { reads.push_back(readsFromAnotherThread()); });
    monitor.SetVerdictSender([&](MonitorActionType) {
        reads.push_back(readsFromAnotherThread());
        backend->note("verdict");
    });
    monitor.SetHostName("qemu-arm64");
    add("cam", 5,
        {NT::kDTC, NT::kTerminateApplication, NT::kRestartApplication, NT::kResetPlatform, NT::kDTC},
        {});
    fail("cam");
    EXPECT_EQ(reads, std::vector<bool>(5, true));
    EXPECT_EQ(journal(), (std::vector<std::string>{"verdict", "stop cam", "restart cam", "reset 5000",
                                                    "verdict"}));
}

// A list acts as if it held the lock throughout, though EM requests run
// without it: an aging pass during a request leaves the record to the next
// pass, and a record cleared during one ends its list there.
TEST_F(Reactions, AgingPassDuringAnEmRequestLeavesTheRecordToTheNextPass) {
    add("cam", 5, {NT::kRestartApplication, NT::kMesswert}, {}, "0x1234", 0);
    std::vector<bool> passes;
    backend->on_request([&] { passes.push_back(monitor.ageAllApplications(5000)); });
    fail("cam");
    EXPECT_EQ(passes, std::vector<bool>{true});
    EXPECT_TRUE(record(0)->hadError());
    EXPECT_EQ(measuredValues(), (Values{1, {0x12, 0x34}}));

    backend->on_request(nullptr);
    EXPECT_TRUE(monitor.ageAllApplications(5000));
    EXPECT_FALSE(record(0)->hadError());
    EXPECT_EQ(measuredValues(), (Values{0, {}}));
}

TEST_F(Reactions, RecordClearedDuringAnEmRequestEndsItsListAndKeepsTheMeasuredValues) {
    add("nav", 5, {NT::kMesswert}, {}, "0xABCD");
    add("cam", 5, {NT::kRestartApplication, NT::kMesswert, NT::kDLT}, {});
    fail("nav");
    backend->on_request([&] { monitor.ClearApplications(); });
    capture.clear();
    fail("cam");

    EXPECT_EQ(journal(), std::vector<std::string>{"restart cam"});
    EXPECT_EQ(logged(""),
              (Lines{callbackLine("cam", 0), {LogLevel::kInfo, {text("Restarting cam...")}}}));
    EXPECT_EQ(measuredValues(), (Values{1, {0xAB, 0xCD}}));
}

// A kPassed decided by an aging pass but not yet sent when a failure sends
// kFailed goes out first, so the event manager ends on the failure.
TEST_F(Reactions, VerdictsGoOutInTheOrderTheyWereDecided) {
    add("cam", 1, {}, {NT::kDTC}, "12", 0);
    fail("cam");
    monitor.ageAllApplications(5000);
    std::promise<void> passedEntered;
    std::promise<void> releasePassed;
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
    // A Read does not wait behind the blocked send.
    EXPECT_EQ(measuredValues(), (Values{0, {}}));
    releasePassed.set_value();
    aging.join();
    failure.join();
    EXPECT_EQ(journal(), (std::vector<std::string>{"verdict kFailed", "verdict kPassed",
                                                    "verdict kFailed"}));
}

// --- measured values

using MeasuredValues = Monitor_test;

TEST_F(MeasuredValues, CountIsEightBitsAndClearingKeepsTheLastValues) {
    for (int i = 0; i < 256; ++i) add("app" + std::to_string(i), 5, {NT::kMesswert}, {}, "0xA5");
    for (int i = 0; i < 256; ++i) fail("app" + std::to_string(i));
    EXPECT_EQ(measuredValues(), (Values{0, Bytes(256, 0xA5)}));

    fail("app0");
    monitor.ClearApplications();
    EXPECT_TRUE(monitor.GetApplications().empty());
    EXPECT_EQ(measuredValues(), (Values{0, Bytes(256, 0xA5)}));
}

TEST(HexText, DecodesIdentifiersAsWritten) {
    const std::vector<std::pair<std::string, Bytes>> examples{
        {"0x1234", {0x12, 0x34}}, {"1234", {0x12, 0x34}},       {"123", {0x01, 0x23}},
        {"0x123", {0x01, 0x23}},  {"ABCDEF", {0xAB, 0xCD, 0xEF}}, {"", {}},
        {"0x", {}},               {"0X12", {0x00, 0x12}},       {"zz", {0x00}},
        {"0x10x2", {0x00, 0x10, 0x02}}, {"abcdef", {0xAB, 0xCD, 0xEF}}, {"9g", {0x90}},
    };
    for (const auto& [input, bytes] : examples) EXPECT_EQ(string_to_hex(input), bytes) << input;
}

// --- the record's operations entered on their own

using Record = Monitor_test;

TEST_F(Record, EachOperationDoesWhatTheReactionsAndTheAgingPassDo) {
    add("cam", 5, {}, {}, "0x1234", 1);
    const auto cam = record(0);
    cam->sendMesswert();
    EXPECT_EQ(measuredValues(), (Values{1, {0x12, 0x34}}));
    fail("cam");
    EXPECT_TRUE(cam->aging(60000));  // one minute is not more than one minute
    EXPECT_TRUE(cam->hadError());
    EXPECT_TRUE(cam->aging(1));
    EXPECT_FALSE(cam->hadError());
    EXPECT_EQ(measuredValues(), (Values{0, {}}));
    // Healing set the aging time back to 0 as well.
    cam->InitializeErrorCounter(3);
    EXPECT_TRUE(cam->aging(60000));
    EXPECT_TRUE(cam->hadError());
    cam->getWell();
    EXPECT_FALSE(cam->hadError());

    // A record the monitor does not own reaches its callbacks by address.
    WardexMonitor::WardexMonitor_Application plain({"plain.fail"}, {NT::kRestartApplication}, {}, 5, 0,
                                                   &monitor, "plain", "12", 0, 1, "");
    plain.RegisterCallbacks(phm);
    phm.Deliver("plain.fail");
    EXPECT_EQ(journal(), std::vector<std::string>{"restart plain"});
}

// --- lifetime of records

using RecordLifetime = Monitor_test;

// Whether something still holds the cleared record or not.
TEST_F(RecordLifetime, FailureForAClearedRecordReachesNothing) {
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
    EXPECT_EQ(journal(), std::vector<std::string>{"restart cam"});
    EXPECT_EQ(measuredValues(), (Values{1, {0x12, 0x34}}));
    monitor.calculateMesswert();
    EXPECT_EQ(measuredValues(), (Values{0, {}}));
}

TEST_F(RecordLifetime, RecordDroppedByAFailedRegistrationIsNeverCalled) {
    source->refuse("cam.deadline");
    EXPECT_THROW(monitor.RegisterApplication(phm, "cam", 5, 0, {NT::kRestartApplication}, {},
                                             {"cam.alive", "cam.deadline"}, "12", 0, 1, ""),
                 std::runtime_error);
    EXPECT_TRUE(monitor.GetApplications().empty());
    EXPECT_EQ(source->subscribed(), std::vector<std::string>{"cam.alive"});
    capture.clear();

    phm.Deliver("cam.alive");
    EXPECT_TRUE(logged(kCallbackLine).empty());
    EXPECT_TRUE(journal().empty());
}

}  // namespace
}  // namespace wardex_test
