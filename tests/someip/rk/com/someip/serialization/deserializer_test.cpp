#include "rk/com/someip/serialization/deserializer.h"
#include "someip/rk/com/someip/serialization/test_types.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <type_traits>

namespace rk::com::someip::serialization {
namespace {

using namespace testing;
using String_map = std::map<std::string, std::string>;

static_assert(!std::is_constructible_v<Deserializer, Bytes&&>, "a deserializer must not read a temporary");

Serialization_properties with_array_length_field(std::size_t size) {
    Serialization_properties properties;
    properties.array_length_field_size = size;
    return properties;
}

template <typename T>
T decode(const Bytes& payload, const Serialization_properties& properties = default_serialization_properties) {
    Input_buffer buffer{payload};
    T value{};
    deserialize_without_tag(buffer, value, properties);
    return value;
}

// What the deserializer refuses: reads past the end, lengths that disagree
// with the payload or the record, length fields of no known size.
TEST(DeserializeNumbers, EmptyPayloadAndShortNumbersReadBeyondTheEnd) {
    const Bytes empty;
    expect_exception<std::out_of_range>([&] { decode<Reason>(empty); }, read_beyond_end);
    expect_exception<std::out_of_range>([&] { decode<std::uint32_t>(Bytes{1, 2, 3}); }, read_beyond_end);

    Input_buffer buffer{empty};
    std::uint16_t value = 0;
    expect_exception<std::out_of_range>(
        [&] { deserialize_dispatch_with_record_length(buffer, value, default_serialization_properties, 1); },
        "Violation of [PRS_SOMEIP_00900]: Record length provided by sender is smaller than expected. "
        "This is possibly due to a mismatch between the data models of sender and receiver.");
}

TEST(DeserializeLengthFields, SizesOneTwoFourAreReadOthersRefused) {
    const Bytes payload{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    Input_buffer buffer{payload};
    const auto& defaults = default_serialization_properties;
    EXPECT_EQ(deserialize_length_field_dispatch(1, buffer, defaults), 0x01u);
    EXPECT_EQ(deserialize_length_field_dispatch(2, buffer, defaults), 0x0203u);
    EXPECT_EQ(deserialize_length_field_dispatch(4, buffer, defaults), 0x04050607u);
    for (std::size_t size : {0u, 3u, 8u}) {
        expect_exception<std::invalid_argument>([&] { deserialize_length_field_dispatch(size, buffer, defaults); },
                                                invalid_length_field_size);
    }

    expect_exception<std::invalid_argument>(
        [] { decode<std::vector<std::uint8_t>>(Bytes{0x02, 0xAB, 0xCD}, with_array_length_field(3)); },
        invalid_length_field_size);
    expect_exception<std::invalid_argument>(
        [] { decode<std::vector<std::uint8_t>>(Bytes{0xAB, 0xCD}, with_array_length_field(0)); },
        vector_needs_length_field);
}

TEST(DeserializeSequences, RecordLengthIsEnforcedAndUnknownTailSkipped) {
    // A longer record than this side knows: the extra byte is skipped, the next value is intact.
    const Bytes longer{0x00, 0x00, 0x00, 0x02, 0x07, 0xEE, 0x42};
    Input_buffer buffer{longer};
    std::array<std::uint8_t, 1> count{};
    std::uint8_t next = 0;
    deserialize_without_tag(buffer, count, default_serialization_properties);
    deserialize_without_tag(buffer, next, default_serialization_properties);
    EXPECT_EQ(count[0], 0x07);
    EXPECT_EQ(next, 0x42);

    expect_exception<std::out_of_range>(
        [] { decode<std::array<std::uint8_t, 1>>(Bytes{0x00, 0x00, 0x00, 0x00, 0x07}); }, record_too_small);
    expect_exception<std::out_of_range>(
        [] { decode<std::array<std::uint8_t, 1>>(Bytes{0x00, 0x00, 0x00, 0x03, 0x07}); }, read_beyond_end);
    expect_exception<std::out_of_range>(
        [] { decode<std::vector<std::uint16_t>>(Bytes{0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x04}); },
        record_too_small);
}

TEST(DeserializeSequences, LengthBeyondThePayloadFailsBeforeAnyAllocation) {
    const Bytes payload{0xFF, 0xFF, 0xFF, 0xFF, 0xAB};
    Input_buffer buffer{payload};
    std::vector<std::uint8_t> data;
    expect_exception<std::out_of_range>(
        [&] { deserialize_without_tag(buffer, data, default_serialization_properties); }, read_beyond_end);
    EXPECT_EQ(data.capacity(), 0u);
}

struct No_fields {
    template <typename F>
    void visit_fields(F&&) {}
    template <typename F>
    void visit_fields(F&&) const {}
};

TEST(DeserializeSequences, ElementsThatTakeNoBytesCannotLoopForever) {
    const Bytes payload{0x00, 0x00, 0x00, 0x02, 0xEE, 0xEE, 0x42};
    Input_buffer buffer{payload};
    std::vector<No_fields> nothing;
    std::uint8_t next = 0;
    deserialize_without_tag(buffer, nothing, default_serialization_properties);
    deserialize_without_tag(buffer, next, default_serialization_properties);
    EXPECT_TRUE(nothing.empty());
    EXPECT_EQ(next, 0x42);
}

TEST(DeserializeStrings, LengthBeyondTheRestFailsBeforeAnyAllocation) {
    const Bytes payload{0xFF, 0xFF, 0xFF, 0xF0, 'a', 'b'};
    Input_buffer buffer{payload};
    std::string text;
    expect_exception<std::out_of_range>(
        [&] { deserialize_without_tag(buffer, text, default_serialization_properties); }, read_beyond_end);
    EXPECT_LT(text.capacity(), 64u);

    expect_exception<std::out_of_range>([] { decode<std::string>(Bytes{0x00, 0x00, 0x00, 0x03, 'a', 'b'}); },
                                        read_beyond_end);
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

    const Bytes complete{0x00, 0x00, 0x00, 0x14,  //
                         0x00, 0x00, 0x00, 0x01, 'k', 0x00, 0x00, 0x00, 0x01, '1',
                         0x00, 0x00, 0x00, 0x01, 'k', 0x00, 0x00, 0x00, 0x01, '2'};
    EXPECT_EQ(decode<String_map>(complete), (String_map{{"k", "1"}}));
}

TEST(DeserializeMaps, LengthsThatDisagreeWithThePayloadAreRejected) {
    for (const Bytes& payload : {Bytes{0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x01, 'k'}, Bytes{0xFF, 0xFF, 0xFF, 0xFF}}) {
        expect_exception<std::out_of_range>([&] { decode<String_map>(payload); },
                                            "Deserialization calculated invalid end position.");
    }
    // The entry's value runs two bytes past the map's length but stays inside the payload.
    const Bytes past_record{0x00, 0x00, 0x00, 0x0A,                          //
                            0x00, 0x00, 0x00, 0x01, 'k',                     //
                            0x00, 0x00, 0x00, 0x02, 'v', 'w', 0x00};
    expect_exception<std::out_of_range>([&] { decode<String_map>(past_record); }, record_too_small);
}

TEST(DeserializeMaps, RecordEndArithmeticIsCheckedBeforeItIsDone) {
    constexpr auto max = std::numeric_limits<std::size_t>::max();
    expect_exception<std::overflow_error>([] { detail::calc_record_end_offset_or_throw(10, 20, max - 5); },
                                          "Deserialization detected std::size_t overflow.");
    expect_exception<std::out_of_range>([] { detail::calc_record_end_offset_or_throw(10, 20, 11); },
                                        "Deserialization calculated invalid end position.");
    EXPECT_EQ(detail::calc_record_end_offset_or_throw(10, 20, 10), 20u);
    EXPECT_EQ(detail::calc_record_end_offset_or_throw(10, 20, no_record_length), 20u);
}

}  // namespace
}  // namespace rk::com::someip::serialization
