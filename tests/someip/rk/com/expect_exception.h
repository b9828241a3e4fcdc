// Helpers shared by the tests of the decoder and its read buffer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

namespace rk::com::someip::serialization::testing {

using Bytes = std::vector<std::uint8_t>;

// Expects exactly the exception type E (not a relative) with exactly the text.
template <typename E, typename F>
void expect_exception(F&& f, const std::string& text) {
    try {
        f();
        ADD_FAILURE() << "expected an exception with \"" << text << "\"";
    } catch (const std::exception& e) {
        EXPECT_EQ(typeid(e), typeid(E)) << "got " << typeid(e).name() << ": " << e.what();
        EXPECT_EQ(std::string{e.what()}, text);
    }
}

inline const std::string read_beyond_end = "Read beyond the end of the data buffer";

}  // namespace rk::com::someip::serialization::testing
