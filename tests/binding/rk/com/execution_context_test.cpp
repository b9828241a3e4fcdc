#include "rk/com/strand.h"
#include "rk/com/thread_pool_view.h"

#include "ara/log/capture.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using rk::com::static_thread_pool;
using rk::com::Strand;
using rk::com::Thread_pool_view;
using wardex::test::Gate;
using wardex::test::wait_until;

TEST(View, ATaskOutlivingItsOwnerKeepsTheViewUntilItsBookkeepingIsDone) {
    static_thread_pool pool{3};
    auto view = std::make_shared<Thread_pool_view>(pool);
    Gate gate;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    view->post([&] {
        started = true;
        gate.wait();
        done = true;
    });
    ASSERT_TRUE(wait_until([&] { return started.load(); }));
    std::weak_ptr<Thread_pool_view> watch = view;
    std::thread([&] { view.reset(); }).join();
    EXPECT_FALSE(watch.expired()) << "the running task still holds its view";
    gate.open();
    EXPECT_TRUE(wait_until([&] { return watch.expired(); }));
    EXPECT_TRUE(done.load());
}

// Owned exclusively, so that the destructor itself has to wait for the runner.
TEST(StrandTest, OneRunnerServesTheQueueAndAStrandStoppedAndDestroyedFinishesOnlyWhatWasQueued) {
    static_thread_pool pool{4};
    auto owned = std::make_unique<Strand>(pool);
    Gate gate;
    std::atomic<bool> first_started{false};
    std::atomic<int> ran{0}, ran_at_return{-1};
    owned->post([&] {
        first_started = true;
        gate.wait();
        ++ran;
    });
    ASSERT_TRUE(wait_until([&] { return first_started.load(); }));
    owned->post([&] { ++ran; });
    owned->post([&] { ++ran; });
    EXPECT_EQ(pool.outstanding_work(), 1u) << "only the running runner is on the pool";
    EXPECT_EQ(owned->outstanding(), 3u);
    owned->stop();
    owned->post([&] { ran += 100; });
    std::thread destroyer([&] {
        owned.reset();
        ran_at_return = ran.load();
    });
    gate.open();
    destroyer.join();
    EXPECT_EQ(ran_at_return.load(), 3);
    EXPECT_TRUE(wait_until([&] { return pool.outstanding_work() == 0; }));
}

// A task dropped after wait() or refused by a stopped pool is uncounted again,
// so that a later wait() cannot hang on it.
TEST(Refused, TasksAfterWaitOrOnAStoppedPoolAreNeitherRunNorCounted) {
    static_thread_pool pool{2};
    auto view = std::make_shared<Thread_pool_view>(pool);
    std::atomic<bool> ran{false};
    view->wait();
    view->post([&] { ran = true; });
    EXPECT_EQ(view->outstanding(), 0u);
    EXPECT_EQ(pool.outstanding_work(), 0u);

    pool.stop();
    auto late_view = std::make_shared<Thread_pool_view>(pool);
    auto strand = std::make_shared<Strand>(pool);
    late_view->post([&] { ran = true; });
    strand->post([&] { ran = true; });
    EXPECT_EQ(late_view->outstanding(), 0u);
    EXPECT_EQ(strand->outstanding(), 0u);
    late_view->wait();
    strand->wait();
    EXPECT_EQ(late_view->state(), Thread_pool_view::stopped);
    EXPECT_FALSE(ran.load());
}

}  // namespace
