// Values of every type in use with their bytes on the wire both ways, and
// what the serializer and the deserializer refuse.
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/serializer.h"
#include "someip/rk/com/expect_exception.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <utility>
#include <memory>
#include <string>
#include <type_traits>

namespace rk::com::someip::serialization {
namespace {

using namespace testing;
using String_map = std::map<std::string, std::string>;

enum class Reason : std::uint8_t {};

// The shape of the data identifier's Read result.
struct Read_output {
    std::array<std::uint8_t, 1> count{};
    std::vector<std::uint8_t> data;

    template <typename F>
    void visit_fields(F&& f) { f(count), f(data); }
    template <typename F>
    void visit_fields(F&& f) const { f(count), f(data); }
    bool operator==(const Read_output& other) const { return count == other.count && data == other.data; }
};

const std::string invalid_length_field_size = "Invalid value for length field size.";
const std::string record_too_small =
    "Violation of [PRS_SOMEIP_00900]: Record length given by sender is too small. "
    "This is possibly due to a mismatch between the data models of sender and receiver.";
const std::string vector_needs_length_field =
    "Vectors must have a length field that deserializer can also deserialize it. "
    "Violation of PRS_SOMEIP_00376 & PRS_SOMEIP_00107!";

static_assert(!std::is_constructible_v<Deserializer, Bytes&&>, "a deserializer must not read a temporary");

Serialization_properties with(std::size_t array_length, std::uint32_t byte_order = 4321,
                              std::size_t string_length = 4) {
    Serialization_properties properties;
    properties.array_length_field_size = array_length;
    properties.byte_order = byte_order;
    properties.string_length_field_size = string_length;
    return properties;
}

template <typename T>
T decode(const Bytes& payload, const Serialization_properties& properties = default_serialization_properties) {
    Input_buffer buffer{payload};
    T value{};
    deserialize_without_tag(buffer, value, properties);
    return value;
}

struct Only_mutable_visitor {
    template <typename F>
    void visit_fields(F&& f) { f(0); }
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
    expect_wire(String_map{}, big, {0x00, 0x00, 0x00, 0x00});
    expect_wire(String_map{{"a", "xy"}, {"b", ""}}, with(1, 4321, 1),
                {0x08, 0x01, 'a', 0x02, 'x', 'y', 0x01, 'b', 0x00});
    // The data identifier's Read result, field by field.
    expect_wire(Read_output{{1}, {0x12, 0x34}}, big,
                {0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02, 0x12, 0x34});
}

TEST(Serializer, ArgumentsAreWrittenInOrder) {
    auto payload = std::make_shared<Bytes>();
    const Serializer serializer{payload};
    serializer.serialize_args(Reason{3}, String_map{{"a", "xy"}});
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

// What the deserializer refuses: reads past the end, lengths that disagree
// with the payload or the record, length fields of no known size.
TEST(Deserializer, RefusesWhatDoesNotAddUp) {
    using Vector = std::vector<std::uint8_t>;
    using Array = std::array<std::uint8_t, 1>;
    const std::string invalid_end = "Deserialization calculated invalid end position.";
    const std::pair<std::function<void()>, std::string> out_of_range[] = {
        {[] { decode<Reason>({}); }, read_beyond_end},
        {[] { decode<std::uint32_t>({1, 2, 3}); }, read_beyond_end},
        {[] {
             const Bytes empty;
             Input_buffer buffer{empty};
             std::uint16_t value = 0;
             deserialize_dispatch_with_record_length(buffer, value, default_serialization_properties, 1);
         },
         "Violation of [PRS_SOMEIP_00900]: Record length provided by sender is smaller than expected. "
         "This is possibly due to a mismatch between the data models of sender and receiver."},
        {[] { decode<Array>({0, 0, 0, 0, 0x07}); }, record_too_small},
        {[] { decode<Array>({0, 0, 0, 3, 0x07}); }, read_beyond_end},
        {[] { decode<std::vector<std::uint16_t>>({0, 0, 0, 3, 1, 2, 3, 4}); }, record_too_small},
        {[] { decode<std::string>({0, 0, 0, 3, 'a', 'b'}); }, read_beyond_end},
        {[] { decode<String_map>({0, 0, 0, 9, 0, 0, 0, 1, 'k'}); }, invalid_end},
        {[] { decode<String_map>({0xFF, 0xFF, 0xFF, 0xFF}); }, invalid_end},
        // The entry's value runs two bytes past the map's length but stays inside the payload.
        {[] { decode<String_map>({0, 0, 0, 0x0A, 0, 0, 0, 1, 'k', 0, 0, 0, 2, 'v', 'w', 0}); }, record_too_small},
    };
    for (std::size_t i = 0; i < std::size(out_of_range); ++i) {
        SCOPED_TRACE(i);
        expect_exception<std::out_of_range>(out_of_range[i].first, out_of_range[i].second);
    }
    expect_exception<std::invalid_argument>([] { decode<Vector>({0x02, 0xAB, 0xCD}, with(3)); },
                                            invalid_length_field_size);
    expect_exception<std::invalid_argument>([] { decode<Vector>({0xAB, 0xCD}, with(0)); }, vector_needs_length_field);
}

TEST(Deserializer, ALengthBeyondThePayloadFailsBeforeAnyAllocation) {
    const Bytes payload{0xFF, 0xFF, 0xFF, 0xF0, 0xAB};
    Input_buffer vector_buffer{payload};
    std::vector<std::uint8_t> data;
    expect_exception<std::out_of_range>(
        [&] { deserialize_without_tag(vector_buffer, data, default_serialization_properties); }, read_beyond_end);
    EXPECT_EQ(data.capacity(), 0u);
    Input_buffer string_buffer{payload};
    std::string text;
    expect_exception<std::out_of_range>(
        [&] { deserialize_without_tag(string_buffer, text, default_serialization_properties); }, read_beyond_end);
    EXPECT_LT(text.capacity(), 64u);
}

struct No_fields {
    template <typename F>
    void visit_fields(F&&) const {}
    template <typename F>
    void visit_fields(F&&) {}
};

// The byte after a value: a longer record than this side knows has its tail
// skipped, and elements that take no bytes cannot loop for ever.
template <typename T>
std::uint8_t byte_after(const Bytes& payload, T& value) {
    Input_buffer buffer{payload};
    std::uint8_t next = 0;
    deserialize_without_tag(buffer, value, default_serialization_properties);
    deserialize_without_tag(buffer, next, default_serialization_properties);
    return next;
}

TEST(Deserializer, ALongerRecordOrElementsOfNoBytesAreSkippedToTheNextValue) {
    std::array<std::uint8_t, 1> count{};
    EXPECT_EQ(byte_after({0x00, 0x00, 0x00, 0x02, 0x07, 0xEE, 0x42}, count), 0x42);
    EXPECT_EQ(count[0], 0x07);
    std::vector<No_fields> nothing;
    EXPECT_EQ(byte_after({0x00, 0x00, 0x00, 0x02, 0xEE, 0xEE, 0x42}, nothing), 0x42);
    EXPECT_TRUE(nothing.empty());
}

TEST(DeserializeMaps, ZeroLengthGivesAnEmptyMapAndDuplicateKeysKeepTheFirstValue) {
    // Trailing bytes after the arguments are ignored.
    const Bytes empty_then_byte{0x00, 0x00, 0x00, 0x00, 0x42, 0xFF, 0xFF};
    Deserializer deserializer{empty_then_byte};
    String_map meta{{"stale", "entry"}};
    std::uint8_t next = 0;
    deserializer.deserialize_args(meta, next);
    EXPECT_TRUE(meta.empty());
    EXPECT_EQ(next, 0x42);
    EXPECT_EQ(deserializer.tell(), 5u);
    std::vector<std::uint16_t> stale{1, 2};
    Deserializer{empty_then_byte}.deserialize_args(stale);
    EXPECT_TRUE(stale.empty()) << "a vector is emptied like a map";

    const Bytes complete{0x00, 0x00, 0x00, 0x14,  //
                         0x00, 0x00, 0x00, 0x01, 'k', 0x00, 0x00, 0x00, 0x01, '1',
                         0x00, 0x00, 0x00, 0x01, 'k', 0x00, 0x00, 0x00, 0x01, '2'};
    EXPECT_EQ(decode<String_map>(complete), (String_map{{"k", "1"}}));
}

// A length field cannot reach this on 64 bits; the maps above end short of,
// at and past their payload's end.
TEST(DeserializeMaps, RecordEndArithmeticIsCheckedBeforeItIsDone) {
    constexpr auto max = std::numeric_limits<std::size_t>::max();
    expect_exception<std::overflow_error>([] { detail::calc_record_end_offset_or_throw(10, 20, max - 5); },
                                          "Deserialization detected std::size_t overflow.");
}

}  // namespace
}  // namespace rk::com::someip::serialization
