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

constexpr char kCallbackLine[] = "Wardex Callback is called for the application '";
constexpr char kLimitLine[] = "Number of allowed Errors is reached: ";

Args callbackLine(const std::string& id, std::uint16_t before) {
    return {text(kCallbackLine), text(id), text("' number of already reported errors: "), before};
}

Args limitLine(std::uint16_t count, std::uint16_t budget) {
    return {text(kLimitLine), count, text(" >= "), budget};
}

// --- error budget

using Budget = Monitor_test;

TEST_F(Budget, ErrorsBelowTheBudgetRunTheErrorListFromTheBudgetOnTheLimitList) {
    add("cam", 3, {NT::kRestartApplication}, {NT::kTerminateApplication});
    for (int i = 0; i < 4; ++i) fail("cam");

    EXPECT_EQ(journal(), (std::vector<std::string>{"restart cam", "restart cam", "stop cam",
                                                    "stop cam"}));
    const auto calls = logged(kCallbackLine);
    ASSERT_EQ(calls.size(), 4u);
    for (std::uint16_t i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].level, LogLevel::kInfo);
        EXPECT_EQ(calls[i].arguments, callbackLine("cam", i));
    }
    const auto limits = logged(kLimitLine);
    ASSERT_EQ(limits.size(), 2u);
    EXPECT_EQ(limits[0].level, LogLevel::kInfo);
    EXPECT_EQ(limits[0].arguments, limitLine(3, 3));
    EXPECT_EQ(limits[1].arguments, limitLine(4, 3));
}

TEST_F(Budget, BudgetZeroRunsTheLimitListFromTheFirstError) {
    add("cam", 0, {NT::kRestartApplication}, {NT::kTerminateApplication});
    fail("cam");
    EXPECT_EQ(journal(), std::vector<std::string>{"stop cam"});
    const auto limits = logged(kLimitLine);
    ASSERT_EQ(limits.size(), 1u);
    EXPECT_EQ(limits[0].arguments, limitLine(1, 0));
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
    const auto calls = logged(kCallbackLine);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].arguments, callbackLine("cam", 65534));
    EXPECT_EQ(calls[1].arguments, callbackLine("cam", 65535));
    EXPECT_EQ(logged(kLimitLine).back().arguments, limitLine(65535, 3));
}

TEST_F(Budget, EveryCallbackNameOfAnApplicationCountsAgainstOneBudget) {
    monitor.RegisterApplication(phm, "cam", 5, 0, {}, {}, {"cam.alive", "cam.deadline"}, "12", 0,
                                1, "");
    EXPECT_EQ(source->subscribed(), (std::vector<std::string>{"cam.alive", "cam.deadline"}));
    phm.Deliver("cam.alive");
    phm.Deliver("cam.deadline");
    EXPECT_EQ(record(0)->GetNumberofReportedErrors(), 2);
    const auto registered = logged("\t\tcallback is registered: ");
    ASSERT_EQ(registered.size(), 2u);
    EXPECT_EQ(registered[1].level, LogLevel::kDebug);
    EXPECT_EQ(registered[1].arguments,
              (Args{text("\t\tcallback is registered: "), text("cam.deadline")}));
}

// --- aging and healing

using Healing = Monitor_test;

TEST_F(Healing, OneMinuteHealsInTheThirteenthPassOfFiveSeconds) {
    add("cam", 5, {}, {}, "12", 1);
    fail("cam");
    for (int pass = 1; pass <= 12; ++pass) {
        EXPECT_TRUE(monitor.ageAllApplications(5000)) << pass;
        EXPECT_TRUE(record(0)->hadError()) << pass;
    }
    EXPECT_TRUE(logged("Application ").empty());
    EXPECT_TRUE(monitor.ageAllApplications(5000));
    EXPECT_FALSE(record(0)->hadError());
    const auto well = logged("Application ");
    ASSERT_EQ(well.size(), 1u);
    EXPECT_EQ(well[0].level, LogLevel::kDebug);
    EXPECT_EQ(well[0].arguments, (Args{text("Application "), text("cam"), text(" got well again")}));
    EXPECT_FALSE(monitor.ageAllApplications(5000));
}

TEST_F(Healing, ZeroMinutesHealsInTheFirstPassWhichStillCountsAsErroneous) {
    add("cam", 5, {}, {}, "12", 0);
    EXPECT_FALSE(record(0)->aging(5000));
    fail("cam");
    EXPECT_TRUE(record(0)->aging(1));
    EXPECT_FALSE(record(0)->hadError());
    EXPECT_FALSE(record(0)->aging(5000));
}

TEST_F(Healing, AnErrorBetweenPassesStartsTheHealingTimeAgain) {
    add("cam", 5, {}, {}, "12", 1);
    fail("cam");
    for (int pass = 0; pass < 12; ++pass) monitor.ageAllApplications(5000);
    fail("cam");
    for (int pass = 0; pass < 12; ++pass) monitor.ageAllApplications(5000);
    EXPECT_EQ(record(0)->GetNumberofReportedErrors(), 2);
    monitor.ageAllApplications(5000);
    EXPECT_FALSE(record(0)->hadError());
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

    const std::vector<std::pair<LogLevel, Args>> expected{
        {LogLevel::kInfo, callbackLine("cam", 0)},
        {LogLevel::kError,
         {text("ERROR: cam not working properly for "), std::uint16_t{1},
          text("times (Max allowed for this App: "), std::uint16_t{5}, text(").")}},
        {LogLevel::kInfo,
         {text("Messwert for  cam is added. (SWID: 0x1234string to hex: "), std::uint8_t{18},
          std::uint8_t{52}, text(").")}},
        {LogLevel::kInfo, {text("Stopping cam...")}},
        {LogLevel::kInfo, {text("Restarting cam...")}},
        {LogLevel::kWarn, {text("Resetting Platform via Watchdog...")}},
        {LogLevel::kInfo, {text("SendMonitorAction DTC kFailed because of cam...")}},
        {LogLevel::kInfo, {text("RestartContainer is not implemented in Wardex (cam).")}},
        {LogLevel::kInfo, {text("Update Client is deactivated in this Version of Wardex")}},
        {LogLevel::kError,
         {text("ERROR: cam not working properly for "), std::uint16_t{1},
          text("times (Max allowed for this App: "), std::uint16_t{5}, text(").")}},
    };
    const auto records = capture.records();
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(records[i].level, expected[i].first) << i;
        EXPECT_EQ(records[i].arguments, expected[i].second) << i;
    }
    EXPECT_EQ(journal(), (std::vector<std::string>{"stop cam", "restart cam", "verdict kFailed"}));
    EXPECT_TRUE(stopPhmAliveThread.load());
    EXPECT_EQ(measuredValues(), (std::pair<std::uint8_t, Bytes>{1, {0x12, 0x34}}));
}

TEST_F(Reactions, PlatformResetGoesThroughEmOnlyOnQemu) {
    add("cam", 5, {}, {});
    monitor.SetHostName("qemu-arm64");
    record(0)->RecoveryAction({NT::kResetPlatform});
    EXPECT_EQ(journal(), std::vector<std::string>{"reset 5000"});
    EXPECT_FALSE(stopPhmAliveThread.load());
    const auto lines = logged("Resetting Platform");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LogLevel::kDebug);
    EXPECT_EQ(lines[0].arguments, Args{text("Resetting Platform via EM in Qemu...")});

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

TEST_F(Reactions, VerdictAndRestartKeepTheOrderOfTheList) {
    add("cam", 5, {NT::kDTC, NT::kRestartApplication, NT::kDTC}, {});
    fail("cam");
    EXPECT_EQ(journal(),
              (std::vector<std::string>{"verdict kFailed", "restart cam", "verdict kFailed"}));
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
        const auto errors = logged("Un");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].level, LogLevel::kError);
        EXPECT_EQ(errors[0].arguments, line);
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
    const auto lines = logged("Messwert for  ");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].arguments, (Args{text("Messwert for  one is added. (SWID: 0x12string to hex: "),
                                        std::uint8_t{0x12}, std::uint8_t{0}, text(").")}));
    EXPECT_EQ(lines[1].arguments, (Args{text("Messwert for  none is added. (SWID: string to hex: "),
                                        std::uint8_t{0}, std::uint8_t{0}, text(").")}));
    EXPECT_EQ(measuredValues(), (std::pair<std::uint8_t, Bytes>{2, {0x12}}));
}

// The monitor's lock must be free while EM works on a request and while a
// verdict is sent, so that a diagnostic read never waits behind them.
TEST_F(Reactions, EmRequestsAndVerdictSendsRunWithoutTheMonitorLock) {
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
    monitor.SetVerdictSender([&](MonitorActionType) { reads.push_back(readsFromAnotherThread()); });
    monitor.SetHostName("qemu-arm64");
    add("cam", 5,
        {NT::kTerminateApplication, NT::kRestartApplication, NT::kResetPlatform, NT::kDTC}, {});
    fail("cam");
    EXPECT_EQ(reads, std::vector<bool>(4, true));
}

// --- measured values

using MeasuredValues = Monitor_test;

TEST_F(MeasuredValues, FollowTheListOrderAndLeaveWhenTheirApplicationHeals) {
    add("first", 5, {NT::kMesswert}, {}, "0x1234", 0);
    add("second", 5, {NT::kMesswert}, {}, "ABCDEF", 1);
    fail("second");
    fail("first");
    EXPECT_EQ(measuredValues(),
              (std::pair<std::uint8_t, Bytes>{2, {0x12, 0x34, 0xAB, 0xCD, 0xEF}}));

    fail("first");
    EXPECT_EQ(measuredValues(),
              (std::pair<std::uint8_t, Bytes>{2, {0x12, 0x34, 0xAB, 0xCD, 0xEF}}));

    monitor.ageAllApplications(5000);
    EXPECT_EQ(measuredValues(), (std::pair<std::uint8_t, Bytes>{1, {0xAB, 0xCD, 0xEF}}));
}

TEST_F(MeasuredValues, CountIsEightBitsAndClearingKeepsTheLastValues) {
    for (int i = 0; i < 256; ++i) add("app" + std::to_string(i), 5, {NT::kMesswert}, {}, "0xA5");
    for (int i = 0; i < 256; ++i) fail("app" + std::to_string(i));
    EXPECT_EQ(measuredValues(), (std::pair<std::uint8_t, Bytes>{0, Bytes(256, 0xA5)}));

    fail("app0");
    monitor.ClearApplications();
    EXPECT_TRUE(monitor.GetApplications().empty());
    EXPECT_EQ(measuredValues(), (std::pair<std::uint8_t, Bytes>{0, Bytes(256, 0xA5)}));
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

// --- lifetime of records

using RecordLifetime = Monitor_test;

TEST_F(RecordLifetime, FailureForAClearedRecordReachesNothing) {
    add("cam", 5, {NT::kRestartApplication}, {});
    std::weak_ptr<WardexMonitor::WardexMonitor_Application> dropped = record(0);
    monitor.ClearApplications();
    EXPECT_TRUE(dropped.expired());
    capture.clear();

    fail("cam");
    EXPECT_TRUE(capture.records().empty());
    EXPECT_TRUE(journal().empty());
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
