#include "wardex/limited_warnings.h"

#include "ara/log/capture.h"

#include <gtest/gtest.h>

namespace wardex::log {
namespace {

using namespace std::chrono_literals;
using Clock = Limited_warnings::Clock;

TEST(LimitedWarnings, OnePerKindAndPeerASecondThenTheCountOfThoseLeftOut) {
    Limited_warnings limiter(1s, 3);
    const auto t0 = Clock::time_point{} + 1h;
    EXPECT_TRUE(limiter.admit("reply", "a", t0));
    EXPECT_TRUE(limiter.admit("reply", "b", t0));  // another peer
    EXPECT_TRUE(limiter.admit("peer", "a", t0));   // another kind
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(limiter.admit("reply", "a", t0 + 999ms));
    const auto again = limiter.admit("reply", "a", t0 + 1s);
    EXPECT_TRUE(again);
    EXPECT_EQ(again.left_out, 5u);
    EXPECT_EQ(limiter.admit("reply", "a", t0 + 2s).left_out, 0u);
    // The spells that ended make room; when none did, a new peer shares its kind's count.
    EXPECT_TRUE(limiter.admit("reply", "c", t0 + 2500ms));
    EXPECT_TRUE(limiter.admit("reply", "d", t0 + 2500ms));
    EXPECT_TRUE(limiter.admit("reply", "e", t0 + 2600ms));
    EXPECT_FALSE(limiter.admit("reply", "f", t0 + 2600ms));
    // A peer gone quiet leaves room, handing its count on to its kind's shared one.
    Limited_warnings small(1s, 2);
    EXPECT_TRUE(small.admit("reply", "a", t0) && small.admit("reply", "c", t0) && !small.admit("reply", "a", t0));
    EXPECT_EQ(small.admit("reply", "b", t0 + 1s).left_out + 10 * small.admit("reply", "", t0 + 1s).left_out, 10u);
}

TEST(LimitedWarnings, WarnLogsTheCountBeforeTheNextWarning) {
    ara::log::Capture capture;
    auto& logger = ara::log::CreateLogger("TEST", "test");
    Limited_warnings limiter(1s);
    const auto t0 = Clock::time_point{} + 1h;
    for (const auto& [text, at] :
         {std::pair{"first", t0}, {"second", t0 + 1ms}, {"third", t0 + 2ms}, {"fourth", t0 + 1s}})
        limiter.warn(
            logger, "SOME/IP reply not sent", "127.0.0.1:5", [&](auto& s) { s << text; }, at);
    EXPECT_EQ(
        capture.texts(),
        (std::vector<std::string>{
            "first", "2 more warnings like \"SOME/IP reply not sent\" left out for 127.0.0.1:5",
            "fourth"}));
    ASSERT_EQ(capture.records().size(), 3u);
    EXPECT_EQ(capture.records()[1].level, ara::log::LogLevel::kWarn);
}

}  // namespace
}  // namespace wardex::log
