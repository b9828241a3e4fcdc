// The session counter of SOME/IP requests.
#include "rk/com/someip/message.h"

#include <gtest/gtest.h>

namespace rk::com::someip {
namespace {

TEST(SomeipSession, CountsFromOneAndWrapsPastFfffToOne) {
    Session_counter near_end(0xFFFE);
    EXPECT_EQ(near_end.next(), 0xFFFE);
    EXPECT_EQ(near_end.next(), 0xFFFF);
    EXPECT_EQ(near_end.next(), 1) << "0 means no session handling and is never used";
    EXPECT_EQ(near_end.next(), 2);
    EXPECT_EQ(Session_counter(0).next(), 1);
}

}  // namespace
}  // namespace rk::com::someip
