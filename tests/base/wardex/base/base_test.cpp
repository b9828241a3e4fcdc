#include "wardex/base/in_flight_gate.h"
#include "wardex/base/poll_loop.h"

#include <gtest/gtest.h>

#include <future>

namespace wardex::base {

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
    std::promise<void> entered;
    bool returned = false;  // ordered by the gate
    std::thread caller([&] {
        Pass pass(inner);
        entered.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        returned = true;
    });
    entered.get_future().wait();
    inner.close();  // waits for the other thread's pass
    EXPECT_TRUE(returned);
    caller.join();
}

TEST(PollLoop, NeverTicksBeforeTheDeadlineAndAWakeEndsTheWait) {
    Poll_loop loop, threaded;
    const auto deadline = Clock::now() + std::chrono::milliseconds(30);
    loop.run([&] { return deadline; }, [&] { loop.stop(); EXPECT_GE(Clock::now(), deadline); });
    std::promise<void> woken;
    threaded.start([] { return Clock::now() + std::chrono::hours(1); }, [&] { woken.set_value(); }, nullptr);
    threaded.wake();
    woken.get_future().wait();
}

}  // namespace wardex::base
