// Values of every type in use, their bytes on the wire both ways, and what
// the serializer refuses.
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/serializer.h"
#include "someip/rk/com/someip/serialization/test_types.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace rk::com::someip::serialization {
namespace {

using namespace testing;

Serialization_properties with(std::size_t array_length, std::uint32_t byte_order = 4321,
                              std::size_t string_length = 4) {
    Serialization_properties properties;
    properties.array_length_field_size = array_length;
    properties.byte_order = byte_order;
    properties.string_length_field_size = string_length;
    return properties;
}

struct Only_mutable_visitor {
    int field = 0;
    template <typename F>
    void visit_fields(F&& f) {
        f(field);
    }
};
static_assert(!is_generated_type_v<Only_mutable_visitor>, "encoding needs the const visitor too");

// Encodes the value to exactly the bytes, measures it so, and decodes the
// bytes followed by a marker back to the value, leaving the marker.
template <typename T>
void expect_wire(const T& value, const Serialization_properties& properties, const Bytes& bytes) {
    Bytes out;
    serialize_without_tag(out, value, properties);
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(get_entry_length_dispatch(value, properties), bytes.size());
    Bytes in = bytes;
    in.push_back(0x5A);
    Input_buffer buffer{in};
    T decoded{};
    std::uint8_t marker = 0;
    deserialize_without_tag(buffer, decoded, properties);
    deserialize_without_tag(buffer, marker, properties);
    EXPECT_TRUE(decoded == value);
    EXPECT_EQ(marker, 0x5A);
}

TEST(Wire, EveryTypeInUseHasItsBytesBothWaysAndItsLength) {
    const auto big = default_serialization_properties;
    const std::vector<std::uint8_t> two{0xAB, 0xCD};
    expect_wire(std::uint32_t{0xA1B2C3D4}, big, {0xA1, 0xB2, 0xC3, 0xD4});
    expect_wire(std::uint32_t{0xA1B2C3D4}, with(4, 1234), {0xD4, 0xC3, 0xB2, 0xA1});
    expect_wire(std::uint16_t{0x0102}, with(4, 1234), {0x02, 0x01});
    expect_wire(Action::kFailed, big, {0x01});
    expect_wire(Reason{0xFF}, big, {0xFF});
    expect_wire(std::array<std::uint8_t, 1>{7}, big, {0x00, 0x00, 0x00, 0x01, 0x07});
    expect_wire(std::array<std::uint8_t, 1>{7}, with(0), {0x07});
    expect_wire(std::vector<std::uint8_t>{}, big, {0x00, 0x00, 0x00, 0x00});
    expect_wire(two, with(1), {0x02, 0xAB, 0xCD});
    expect_wire(two, with(2), {0x00, 0x02, 0xAB, 0xCD});
    expect_wire(two, with(2, 1234), {0x02, 0x00, 0xAB, 0xCD});
    // The length counts bytes, not elements; one byte holds up to 255.
    expect_wire(std::vector<std::uint16_t>{0x0102, 0x0304}, with(1), {0x04, 0x01, 0x02, 0x03, 0x04});
    Bytes longest(256, 0xEE);
    longest[0] = 0xFF;
    expect_wire(std::vector<std::uint8_t>(255, 0xEE), with(1), longest);
    expect_wire(std::string("a\0b", 3), big, {0x00, 0x00, 0x00, 0x03, 'a', 0x00, 'b'});
    expect_wire(std::string("ab"), with(4, 1234, 2), {0x02, 0x00, 'a', 'b'});
    expect_wire(std::map<std::string, std::string>{}, big, {0x00, 0x00, 0x00, 0x00});
    expect_wire(std::map<std::string, std::string>{{"a", "xy"}, {"b", ""}}, with(1, 4321, 1),
                {0x08, 0x01, 'a', 0x02, 'x', 'y', 0x01, 'b', 0x00});
    // The data identifier's Read result, field by field.
    expect_wire(Read_output{{1}, {0x12, 0x34}}, big,
                {0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x12, 0x34});
}

TEST(Serializer, ArgumentsAreWrittenInOrder) {
    auto payload = std::make_shared<Bytes>();
    const Serializer serializer{payload};
    serializer.serialize_args(Reason{3}, std::map<std::string, std::string>{{"a", "xy"}});
    EXPECT_EQ(*payload, (Bytes{0x03,                    // reason
                               0x00, 0x00, 0x00, 0x0B,  // map: 11 bytes of entries
                               0x00, 0x00, 0x00, 0x01, 'a', 0x00, 0x00, 0x00, 0x02, 'x', 'y'}));
    expect_exception<std::invalid_argument>([] { Serializer{std::shared_ptr<Bytes>{}}; },
                                            "destination cannot be NULL");
}

TEST(Serializer, WhatDoesNotFitOrHasNoLengthFieldIsRefusedAndAppendsNothing) {
    const std::string overflow = "Calculated record length does not fit into configured length field";
    Bytes out{0x55};
    expect_exception<std::invalid_argument>(
        [&] { serialize_without_tag(out, std::vector<std::uint8_t>{1, 2}, with(0)); }, vector_needs_length_field);
    expect_exception<std::overflow_error>([&] { serialize_without_tag(out, std::vector<std::uint8_t>(256), with(1)); },
                                          overflow);
    expect_exception<std::overflow_error>(
        [&] { serialize_length_field_dispatch(2, 65536, out, default_serialization_properties); }, overflow);
    expect_exception<std::invalid_argument>(
        [&] { serialize_without_tag(out, std::vector<std::uint8_t>{1}, with(3)); }, invalid_length_field_size);
    expect_exception<std::invalid_argument>(
        [&] { serialize_length_field_dispatch(8, 1, out, default_serialization_properties); },
        invalid_length_field_size);
    serialize_length_field_dispatch(0, 12345, out, default_serialization_properties);
    EXPECT_EQ(out, (Bytes{0x55}));
    serialize_length_field_dispatch(4, 0xFFFFFFFF, out, default_serialization_properties);
    EXPECT_EQ(out, (Bytes{0x55, 0xFF, 0xFF, 0xFF, 0xFF}));
}

// Tagged entries are measured but never written by this system; wire type 4
// takes the one length-field size all three properties must agree on.
TEST(EntryLengths, TagsAndWireTypesAddTheirBytes) {
    const auto& defaults = default_serialization_properties;
    const std::vector<std::uint8_t> three{1, 2, 3};
    EXPECT_EQ(get_entry_length_dispatch(std::uint16_t{1}, defaults, Wire_type::k16_bit), 4u);
    EXPECT_EQ(get_entry_length_dispatch(three, defaults, Wire_type::kComplex_1_byte_length), 6u);
    EXPECT_EQ(get_entry_length_dispatch(three, defaults, Wire_type::kComplex_4_byte_length), 9u);
    EXPECT_EQ(get_entry_length_dispatch(three, defaults, Wire_type::kComplex_configured_length), 9u);

    Serialization_properties mixed;
    mixed.string_length_field_size = 2;
    expect_exception<std::runtime_error>(
        [&] { get_length_field_size_for_wire_type(Wire_type::kComplex_configured_length, mixed); },
        "Violation of COM.PRS_SOMEIP_00215: All length fields must have same size and not be 0 when wire "
        "type 4 is used (4,2,4)");
    EXPECT_EQ(get_length_field_size_for_wire_type(Wire_type::k64_bit, mixed), 0u);
}

}  // namespace
}  // namespace rk::com::someip::serialization
