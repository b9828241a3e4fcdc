#include "NotificationType.h"

#include <gtest/gtest.h>

namespace norda::phm::wardex {
namespace {

TEST(NotificationType, EveryKeywordGivesItsFixedValueAndBack) {
    const std::pair<const char*, int> table[] = {
        {"DLT", 0},           {"Messwert", 1}, {"TerminateApplication", 2},
        {"RestartApplication", 3}, {"ResetPlatform", 4}, {"DTC", 5},
        {"RestartContainer", 6},   {"UpdateClient", 7},
    };
    for (const auto& [keyword, value] : table) {
        const NotificationType action = getCallbackActionStringToEnum(keyword);
        EXPECT_EQ(static_cast<int>(action), value) << keyword;
        EXPECT_EQ(getStringFromCallbackActionEnum(action), keyword);
    }
    static_assert(sizeof(NotificationType) == 4);
}

TEST(NotificationType, KeywordsMatchExactlyOrGiveUnknown) {
    for (const char* keyword : {"dtc", "Dtc", " DTC", "DTC ", "", "Reset Platform", "DLTX"}) {
        EXPECT_EQ(getCallbackActionStringToEnum(keyword), NotificationType::kUnknown)
            << '"' << keyword << '"';
    }
    EXPECT_EQ(getStringFromCallbackActionEnum(getCallbackActionStringToEnum("dlt")), "Unknown");
}

TEST(NotificationType, ValuesWithoutKeywordGiveUnknown) {
    for (int value : {8, 9, 10, -1, 11}) {
        EXPECT_EQ(getStringFromCallbackActionEnum(static_cast<NotificationType>(value)), "Unknown")
            << value;
    }
}

}  // namespace
}  // namespace norda::phm::wardex
