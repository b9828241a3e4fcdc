#include "NotificationType.h"

#include <gtest/gtest.h>

namespace norda::phm::wardex {
namespace {

TEST(NotificationType, KeywordsMatchExactlyAndConvertBackElseUnknown) {
    for (const char* keyword : {"DLT", "Messwert", "TerminateApplication", "RestartApplication",
                                "ResetPlatform", "DTC", "RestartContainer", "UpdateClient"}) {
        EXPECT_EQ(getStringFromCallbackActionEnum(getCallbackActionStringToEnum(keyword)), keyword);
    }
    for (const char* keyword : {"dtc", " DTC", "DTC ", "", "Reset Platform", "DLTX"}) {
        EXPECT_EQ(getCallbackActionStringToEnum(keyword), NotificationType::kUnknown) << '"' << keyword << '"';
    }
    for (int value : {8, 9, 10, -1, 11}) {
        EXPECT_EQ(getStringFromCallbackActionEnum(static_cast<NotificationType>(value)), "Unknown") << value;
    }
}

}  // namespace
}  // namespace norda::phm::wardex
