#include "ara/log/capture.h"
#include "ara/log/logging.h"

#include <gtest/gtest.h>

#include <thread>

namespace ara::log {
namespace {

TEST(LogStream, KeepsArgumentTypesAndRendersUint8AsNumber) {
    Capture capture;
    CreateLogger("TST", "test").LogInfo() << "count" << std::uint8_t{65} << std::uint16_t{25011}
                                           << true << std::int32_t{-3};
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, LogLevel::kInfo);
    EXPECT_EQ(records[0].context, "TST");
    ASSERT_EQ(records[0].arguments.size(), 5u);
    EXPECT_TRUE(std::holds_alternative<std::uint8_t>(records[0].arguments[1]));
    EXPECT_TRUE(std::holds_alternative<std::uint16_t>(records[0].arguments[2]));
    EXPECT_EQ(records[0].text(), "count 65 25011 true -3");
}

TEST(LogStream, FreeFunctionsUseTheDefaultContextAndTheirLevel) {
    Capture capture;
    LogWarn() << "received signal: " << 15;
    LogDebug() << "Listening for Callbacks...";
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, LogLevel::kWarn);
    EXPECT_EQ(records[0].context, "DFLT");
    EXPECT_EQ(records[1].level, LogLevel::kDebug);
    EXPECT_EQ(records[1].text(), "Listening for Callbacks...");
}

TEST(LogStream, LevelAboveTheDefaultIsDroppedBeforeAnySink) {
    Capture capture;
    set_default_level(LogLevel::kInfo);
    EXPECT_FALSE(DefaultLogger().IsLogEnabled(LogLevel::kDebug));
    LogDebug() << "dropped";
    LogInfo() << "kept";
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"kept"});
}

TEST(Logger, SameContextGivesTheSameLogger) {
    EXPECT_EQ(&CreateLogger("SAME", "a"), &CreateLogger("SAME", "b"));
}

TEST(Capture, CollectsMessagesFromSeveralThreadsWhole) {
    Capture capture;
    auto& logger = CreateLogger("THR", "threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 100; ++i) logger.LogInfo() << "thread" << t << "message" << i;
        });
    }
    for (auto& thread : threads) thread.join();
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 400u);
    for (const auto& record : records) EXPECT_EQ(record.arguments.size(), 4u);
}

}  // namespace
}  // namespace ara::log
