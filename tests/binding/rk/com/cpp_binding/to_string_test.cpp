#include "rk/com/cpp_binding/to_string.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct Silent : std::exception {
    const char* what() const noexcept override { return nullptr; }
};

// Anything but a standard exception is rethrown to the caller.
TEST(ExceptionText, StandardExceptionsAreWrittenWithTheirWhatTextOthersRethrown) {
    using rk::com::cpp_binding::to_string;
    EXPECT_EQ(to_string(Silent{}), "Exception: what() returned null ptr");
    EXPECT_EQ(to_string(std::make_exception_ptr(std::out_of_range("end"))), "Exception: end");
    EXPECT_THROW(to_string(std::make_exception_ptr(7)), int);
    EXPECT_THROW(to_string(std::exception_ptr()), std::invalid_argument);
}

}  // namespace
