// Build options of the binding that are reported when a skeleton or a proxy
// is constructed.
#pragma once

#include <cstdint>
#include <string>

namespace rk::com::cpp_binding::defaults {

struct Compile_options {
    // Structures are encoded with 4-byte length fields.
    std::uint8_t struct4bytes{1};
    // Texts are plain UTF-8.
    std::uint8_t utf8simple{1};
};

constexpr Compile_options compile_options() noexcept { return Compile_options{1, 1}; }

// A flag as it appears in a record: its number as text; all ones is "invalid".
inline std::string to_string(std::uint8_t flag) {
    return flag == 0xFF ? std::string("invalid") : std::to_string(flag);
}

}  // namespace rk::com::cpp_binding::defaults
