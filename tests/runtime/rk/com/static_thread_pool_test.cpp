#include "rk/com/static_thread_pool.h"

#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

namespace {

using rk::com::static_thread_pool;
using wardex::test::Gate;

TEST(ThreadPool, DestructionRunsTheQueuedTasksBeforeJoining) {
    std::atomic<int> ran{0};
    {
        static_thread_pool pool(1);
        Gate gate;
        pool.post([&] {
            gate.wait();
            ++ran;
        });
        for (int i = 0; i < 10; ++i) pool.post([&] { ++ran; });
        gate.open();
    }
    EXPECT_EQ(ran.load(), 11);
}

TEST(ThreadPool, LastOwnerLettingGoInsideATaskDoesNotDeadlock) {
    auto pool = std::make_shared<static_thread_pool>(2);
    std::promise<void> released;
    auto* raw = pool.get();
    raw->post([pool = std::move(pool), &released]() mutable {
        pool.reset();
        released.set_value();
    });
    EXPECT_EQ(released.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
