#include "ara/log/capture.h"
#include "ara/log/logging.h"

#include <gtest/gtest.h>

namespace ara::log {
namespace {

// Arguments keep their types (an 8-bit value is a number, never a character);
// the free functions write to the default context; a level above the default
// is dropped before any sink; a context has one logger.
TEST(LogStream, KeepsArgumentTypesAndLevelsAndDropsLevelsAboveTheDefault) {
    Capture capture;
    CreateLogger("TST", "test").LogInfo() << "count" << std::uint8_t{65} << std::uint16_t{25011} << true
                                           << std::int32_t{-3};
    LogWarn() << "received signal: " << 15;
    set_default_level(LogLevel::kInfo);
    LogDebug() << "dropped";
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, LogLevel::kInfo);
    EXPECT_EQ(records[0].context, "TST");
    ASSERT_EQ(records[0].arguments.size(), 5u);
    EXPECT_TRUE(std::holds_alternative<std::uint8_t>(records[0].arguments[1]));
    EXPECT_TRUE(std::holds_alternative<std::uint16_t>(records[0].arguments[2]));
    EXPECT_EQ(records[0].text(), "count 65 25011 true -3");
    EXPECT_EQ(records[1].level, LogLevel::kWarn);
    EXPECT_EQ(records[1].context, "DFLT");
    EXPECT_EQ(&CreateLogger("TST", "other"), &CreateLogger("TST", "test"));
}

}  // namespace
}  // namespace ara::log
