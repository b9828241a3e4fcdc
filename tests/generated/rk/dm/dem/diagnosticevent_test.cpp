// The diagnostic event interface defines no application errors: every
// method's lookup yields nothing for every code.
#include "rk/dm/dem/diagnosticevent_common.h"

#include <gtest/gtest.h>

#include <typeinfo>
#include <vector>

namespace {

template <typename Method>
void expect_no_application_error() {
    const std::vector<std::uint8_t> payload{0x31, 0x32};
    int found = 0;
    for (int code = 0; code <= 0xFF; ++code) {
        if (Method::GetApplicationErrorExceptionPtr(static_cast<std::uint8_t>(code), payload)) ++found;
    }
    EXPECT_EQ(found, 0) << typeid(Method).name();
}

TEST(DiagnosticEventDefinition, EveryLookupYieldsNothingForEveryCode) {
    using rk::dm::dem::DiagnosticEvent;
    expect_no_application_error<DiagnosticEvent::FaultDetectionCounter>();
    expect_no_application_error<DiagnosticEvent::GetDTCOfEvent>();
    expect_no_application_error<DiagnosticEvent::GetDebouncingOfEvent>();
    expect_no_application_error<DiagnosticEvent::EventStatus::Get>();
}

}  // namespace
