// Every type in use survives encoding and decoding, for seeded random values
// and random (valid) properties.
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/serializer.h"
#include "someip/rk/com/someip/serialization/test_types.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace rk::com::someip::serialization {
namespace {

using namespace testing;
using String_map = std::map<std::string, std::string>;

class RoundTrip : public ::testing::Test {
protected:
    std::mt19937 random_{20261206};

    std::size_t below(std::size_t limit) { return std::uniform_int_distribution<std::size_t>{0, limit - 1}(random_); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }

    // Length fields of 1 byte bound what can be sent; sizes stay under it.
    Serialization_properties properties() {
        static constexpr std::size_t sizes[] = {1, 2, 4};
        Serialization_properties properties;
        properties.byte_order = below(2) == 0 ? 4321 : 1234;
        properties.array_length_field_size = sizes[below(3)];
        properties.string_length_field_size = sizes[below(3)];
        return properties;
    }

    std::vector<std::uint8_t> bytes(std::size_t max) {
        std::vector<std::uint8_t> out(below(max + 1));
        for (auto& b : out) b = byte();
        return out;
    }
    std::string text(std::size_t max) {
        const auto raw = bytes(max);
        return std::string(raw.begin(), raw.end());
    }
    String_map map() {
        String_map out;
        const std::size_t entries = below(4);
        for (std::size_t i = 0; i < entries; ++i) out.emplace(text(10), text(10));
        return out;
    }

    // Encodes, checks the encoding's size against the computed entry length,
    // decodes behind a marker byte and checks both value and marker.
    template <typename T>
    void expect_round_trip(const T& value, const Serialization_properties& properties) {
        Bytes payload;
        serialize_without_tag(payload, value, properties);
        ASSERT_EQ(payload.size(), get_entry_length_dispatch(value, properties));
        payload.push_back(0x5A);

        Input_buffer buffer{payload};
        T decoded{};
        std::uint8_t marker = 0;
        deserialize_without_tag(buffer, decoded, properties);
        deserialize_without_tag(buffer, marker, properties);
        EXPECT_TRUE(decoded == value);
        EXPECT_EQ(marker, 0x5A);
        EXPECT_EQ(buffer.tell(), payload.size());
    }
};

TEST_F(RoundTrip, EveryTypeInUseWithRandomValuesAndProperties) {
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const auto p = properties();
        expect_round_trip(byte(), p);
        expect_round_trip(static_cast<std::uint16_t>(below(0x10000)), p);
        expect_round_trip(static_cast<std::uint32_t>(random_()), p);
        expect_round_trip(static_cast<Reason>(byte()), p);
        expect_round_trip(std::array<std::uint8_t, 1>{byte()}, p);
        expect_round_trip(bytes(200), p);
        expect_round_trip(text(200), p);
        expect_round_trip(map(), p);
        expect_round_trip(Read_output{{byte()}, bytes(200)}, p);
    }
}

}  // namespace
}  // namespace rk::com::someip::serialization
