// The properties that steer SOME/IP encoding and decoding, and the wire types
// of tagged members.
#pragma once

#include "rk/com/byte_order.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace rk::com::someip::serialization {

struct Serialization_properties {
    // 4321 big-endian, 1234 little-endian.
    std::uint32_t byte_order = rk::com::byte_order::big_endian;
    // Length-field sizes in bytes: 0, 1, 2 or 4.
    std::size_t array_length_field_size = 4;
    std::size_t string_length_field_size = 4;
    // Only consulted for members tagged with wire type 4.
    std::size_t struct_length_field_size = 4;
};

// Every payload of the system is encoded with these.
inline constexpr Serialization_properties default_serialization_properties{};

// Marks "no record length known": decoding is limited by the end of the payload only.
inline constexpr std::size_t no_record_length = static_cast<std::size_t>(-1);

struct Structure_tag {
    enum class Wire_type : std::uint8_t {
        k8_bit = 0,
        k16_bit = 1,
        k32_bit = 2,
        k64_bit = 3,
        kComplex_configured_length = 4,
        kComplex_1_byte_length = 5,
        kComplex_2_byte_length = 6,
        kComplex_4_byte_length = 7,
    };
};

using Wire_type = Structure_tag::Wire_type;
using Optional_wire_type = std::optional<Wire_type>;

}  // namespace rk::com::someip::serialization
