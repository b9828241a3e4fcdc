#include "rk/com/static_thread_pool.h"

#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace {

using rk::com::static_thread_pool;
using wardex::test::Gate;
using wardex::test::wait_until;

TEST(ThreadPool, RunsTasksOnItsOwnWorkerAndCountsThemUntilTheyEnd) {
    static_thread_pool pool(1);
    Gate gate;
    std::promise<std::pair<std::thread::id, bool>> where;
    ASSERT_TRUE(pool.post([&] {
        where.set_value({std::this_thread::get_id(), pool.running_in_this_thread()});
        gate.wait();
    }));
    pool.post([] {});
    const auto [thread, inside] = where.get_future().get();
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_TRUE(inside);
    EXPECT_FALSE(pool.running_in_this_thread());
    EXPECT_EQ(pool.outstanding_work(), 2u) << "the running task and the queued one";
    gate.open();
    EXPECT_TRUE(wait_until([&] { return pool.outstanding_work() == 0; }));
}

TEST(ThreadPool, StoppedPoolRefusesTasksAndCountsNothing) {
    static_thread_pool pool(1);
    pool.stop();
    EXPECT_TRUE(pool.stopped());
    EXPECT_FALSE(pool.post([] {}));
    EXPECT_EQ(pool.outstanding_work(), 0u);
}

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
