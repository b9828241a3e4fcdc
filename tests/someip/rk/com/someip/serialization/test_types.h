// Value types shaped like the generated ones, and helpers shared by the
// serialization tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

namespace rk::com::someip::serialization::testing {

enum class Reason : std::uint8_t {};
enum class Action : std::uint8_t { kPassed = 0, kFailed = 1 };

// The shape of the data identifier's Read result.
struct Read_output {
    std::array<std::uint8_t, 1> count{};
    std::vector<std::uint8_t> data;

    template <typename F>
    void visit_fields(F&& f) {
        f(count);
        f(data);
    }
    template <typename F>
    void visit_fields(F&& f) const {
        f(count);
        f(data);
    }

    bool operator==(const Read_output& other) const { return count == other.count && data == other.data; }
};

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
inline const std::string invalid_length_field_size = "Invalid value for length field size.";
inline const std::string record_too_small =
    "Violation of [PRS_SOMEIP_00900]: Record length given by sender is too small. "
    "This is possibly due to a mismatch between the data models of sender and receiver.";
inline const std::string vector_needs_length_field =
    "Vectors must have a length field that deserializer can also deserialize it. "
    "Violation of PRS_SOMEIP_00376 & PRS_SOMEIP_00107!";

}  // namespace rk::com::someip::serialization::testing
