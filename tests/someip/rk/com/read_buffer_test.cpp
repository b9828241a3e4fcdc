#include "rk/com/read_buffer.h"
#include "someip/rk/com/expect_exception.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <type_traits>

namespace rk::com {
namespace {

using someip::serialization::testing::Bytes;
using someip::serialization::testing::expect_exception;
using someip::serialization::testing::read_beyond_end;

static_assert(!std::is_constructible_v<Read_buffer<Bytes>, Bytes&&>,
              "a read buffer must not be made over a temporary");

TEST(ReadBuffer, ReadsAdvanceAndStopAtTheEndWithoutMovingAndHugeCountsDoNotWrapTheCheck) {
    const Bytes payload{0x01, 0x02, 0x03, 0x04, 0x05};
    Read_buffer<Bytes> buffer{payload};
    std::uint8_t two[2]{};
    buffer.read_bytes(2, two);
    EXPECT_EQ(two[1], 0x02);
    buffer.skip(1);
    std::uint32_t too_wide = 0;
    expect_exception<std::out_of_range>([&] { buffer.read_any(too_wide); }, read_beyond_end);
    expect_exception<std::out_of_range>([&] { buffer.skip(3); }, read_beyond_end);
    constexpr auto huge = std::numeric_limits<std::size_t>::max();
    expect_exception<std::out_of_range>([&] { buffer.throw_if_out_of_range(huge); }, read_beyond_end);
    expect_exception<std::out_of_range>([&] { buffer.skip(huge); }, read_beyond_end);
    EXPECT_EQ(buffer.tell(), 3u);

    std::uint16_t last = 0;
    buffer.read_any(last);
    EXPECT_EQ(buffer.tell(), 5u);
    buffer.skip(0);
    expect_exception<std::out_of_range>([&] { buffer.skip(1); }, read_beyond_end);
    // A null destination is refused before the range check.
    expect_exception<std::invalid_argument>([&] { buffer.read_bytes(4, nullptr); }, "destination cannot be NULL");
}

}  // namespace
}  // namespace rk::com
