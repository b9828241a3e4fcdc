#include "rk/com/cpp_binding/to_string.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct Silent : std::exception {
    const char* what() const noexcept override { return nullptr; }
};

TEST(ExceptionText, StandardExceptionsAreWrittenWithTheirWhatTextOthersRethrown) {
    EXPECT_EQ(rk::com::cpp_binding::to_string(std::runtime_error("bad table")), "Exception: bad table");
    EXPECT_EQ(rk::com::cpp_binding::to_string(Silent{}), "Exception: what() returned null ptr");
    EXPECT_EQ(rk::com::cpp_binding::to_string(std::make_exception_ptr(std::out_of_range("end"))),
              "Exception: end");
    // Anything else stored is rethrown to the caller.
    EXPECT_THROW(rk::com::cpp_binding::to_string(std::make_exception_ptr(7)), int);
    EXPECT_THROW(rk::com::cpp_binding::to_string(std::exception_ptr()), std::invalid_argument);
}

}  // namespace
