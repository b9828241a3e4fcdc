#include "rk/com/someip/serialization/serializer.h"
#include "someip/rk/com/someip/serialization/test_types.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace rk::com::someip::serialization {
namespace {

using namespace testing;

Serialization_properties with_array_length_field(std::size_t size) {
    Serialization_properties properties;
    properties.array_length_field_size = size;
    return properties;
}

template <typename T>
Bytes encode(const T& value, const Serialization_properties& properties = default_serialization_properties) {
    Bytes out;
    serialize_without_tag(out, value, properties);
    return out;
}

struct Only_mutable_visitor {
    int field = 0;
    template <typename F>
    void visit_fields(F&& f) {
        f(field);
    }
};
static_assert(!is_generated_type_v<Only_mutable_visitor>, "encoding needs the const visitor too");

TEST(SerializeNumbers, BigEndianByDefaultLittleEndianOnRequest) {
    Serialization_properties little;
    little.byte_order = 1234;
    EXPECT_EQ(encode(std::uint32_t{0xA1B2C3D4}), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(encode(std::uint32_t{0xA1B2C3D4}, little), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(encode(Action::kFailed), (Bytes{0x01}));
}

TEST(SerializeSequences, LengthFieldFollowsTheConfiguredSizeAndByteOrder) {
    EXPECT_EQ(encode(std::array<std::uint8_t, 1>{7}), (Bytes{0x00, 0x00, 0x00, 0x01, 0x07}));
    EXPECT_EQ(encode(std::vector<std::uint8_t>{}), (Bytes{0x00, 0x00, 0x00, 0x00}));

    const std::vector<std::uint8_t> two{0xAB, 0xCD};
    EXPECT_EQ(encode(two, with_array_length_field(1)), (Bytes{0x02, 0xAB, 0xCD}));
    EXPECT_EQ(encode(two, with_array_length_field(2)), (Bytes{0x00, 0x02, 0xAB, 0xCD}));
    EXPECT_EQ(encode(two, with_array_length_field(4)), (Bytes{0x00, 0x00, 0x00, 0x02, 0xAB, 0xCD}));
    auto little = with_array_length_field(2);
    little.byte_order = 1234;
    EXPECT_EQ(encode(two, little), (Bytes{0x02, 0x00, 0xAB, 0xCD}));

    // The length counts bytes, not elements.
    EXPECT_EQ(encode(std::vector<std::uint16_t>{0x0102, 0x0304}, with_array_length_field(1)),
              (Bytes{0x04, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(encode(std::array<std::uint8_t, 1>{7}, with_array_length_field(0)), (Bytes{0x07}));
}

TEST(SerializeSequences, VectorWithoutLengthFieldIsRefusedAndAppendsNothing) {
    Bytes out{0x55};
    expect_exception<std::invalid_argument>(
        [&] { serialize_without_tag(out, std::vector<std::uint8_t>{1, 2}, with_array_length_field(0)); },
        vector_needs_length_field);
    EXPECT_EQ(out, (Bytes{0x55}));
}

TEST(SerializeLengthFields, OverflowAndInvalidSizesAreRefused) {
    const std::string overflow = "Calculated record length does not fit into configured length field";
    const std::vector<std::uint8_t> fits_one_byte(255, 0xEE);
    const auto encoded = encode(fits_one_byte, with_array_length_field(1));
    ASSERT_EQ(encoded.size(), 256u);
    EXPECT_EQ(encoded[0], 0xFF);

    Bytes out;
    expect_exception<std::overflow_error>(
        [&] { serialize_without_tag(out, std::vector<std::uint8_t>(256), with_array_length_field(1)); }, overflow);
    EXPECT_TRUE(out.empty());
    expect_exception<std::overflow_error>(
        [&] { serialize_length_field_dispatch(2, 65536, out, default_serialization_properties); }, overflow);
    expect_exception<std::invalid_argument>(
        [&] { serialize_without_tag(out, std::vector<std::uint8_t>{1}, with_array_length_field(3)); },
        invalid_length_field_size);
    expect_exception<std::invalid_argument>(
        [&] { serialize_length_field_dispatch(8, 1, out, default_serialization_properties); },
        invalid_length_field_size);
    EXPECT_TRUE(out.empty());

    serialize_length_field_dispatch(0, 12345, out, default_serialization_properties);
    EXPECT_TRUE(out.empty());
    serialize_length_field_dispatch(4, 0xFFFFFFFF, out, default_serialization_properties);
    EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(SerializeStructures, ArgumentsAreWrittenInOrderWithStringsAndMapsLengthPrefixed) {
    auto payload = std::make_shared<Bytes>();
    const Serializer serializer{payload};
    serializer.serialize_args(Reason{3}, std::map<std::string, std::string>{{"a", "xy"}});
    EXPECT_EQ(*payload, (Bytes{0x03,                    // reason
                               0x00, 0x00, 0x00, 0x0B,  // map: 11 bytes of entries
                               0x00, 0x00, 0x00, 0x01, 'a', 0x00, 0x00, 0x00, 0x02, 'x', 'y'}));
}

TEST(SerializeStructures, NullOutputIsRefused) {
    expect_exception<std::invalid_argument>([] { Serializer{std::shared_ptr<Bytes>{}}; },
                                            "destination cannot be NULL");
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
