#include "wardex/base/in_flight_gate.h"
#include "wardex/base/poll_loop.h"

#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <future>

namespace wardex::base {
namespace {

using Pass = In_flight_gate::Pass;

TEST(InFlightGate, CloseWaitsForOtherThreadsOnlyAndNestedPassesRestoreTheOuterOnes) {
    In_flight_gate outer, inner;
    {
        Pass in_outer(outer);
        { Pass came_and_went(inner); }
        Pass nested(inner);
        outer.close();  // from a callback nested in the outer one: does not wait for itself
    }
    EXPECT_FALSE(Pass(outer));
    std::atomic<bool> entered{false}, returned{false};
    wardex::test::Gate release;
    std::thread caller([&] {
        Pass pass(inner);
        entered = true;
        release.wait();
        returned = true;
    });
    ASSERT_TRUE(wardex::test::wait_until([&] { return entered.load(); }));
    std::thread closer([&] { release.open(); });
    inner.close();
    EXPECT_TRUE(returned);
    closer.join();
    caller.join();
}

TEST(PollLoop, NeverTicksBeforeTheDeadlineAndAWakeEndsTheWait) {
    Poll_loop loop, threaded;
    const auto deadline = Clock::now() + std::chrono::milliseconds(30);
    loop.run([&] { return deadline; }, [&] {
        EXPECT_GE(Clock::now(), deadline);
        loop.stop();
    });
    std::promise<void> woken;
    threaded.start([] { return Clock::now() + std::chrono::hours(1); }, [&] { woken.set_value(); }, nullptr);
    threaded.wake();
    woken.get_future().wait();
}

}  // namespace
}  // namespace wardex::base
