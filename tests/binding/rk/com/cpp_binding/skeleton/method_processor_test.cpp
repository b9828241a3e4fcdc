#include "rk/com/cpp_binding/skeleton/method_processors.h"

#include "ara/log/capture.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

using rk::com::static_thread_pool;
using rk::com::cpp_binding::Service_info;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Service_id;
using rk::com::cpp_binding::Method_call_processing_mode;
using rk::com::cpp_binding::skeleton::create_method_processor;
using wardex::test::Gate;
using wardex::test::wait_until;

// Mode 0, and any unknown mode, drops every request; the first drop of each
// service is a warning in the port context, the later ones are silent.
TEST(NoopProcessor, DropModesNeverRunATaskAndWarnOncePerService) {
    ara::log::Capture capture;
    std::atomic<bool> ran{false};
    for (auto mode : {Method_call_processing_mode::kDropRequests, static_cast<Method_call_processing_mode>(7)}) {
        static_thread_pool pool(2);
        auto processor = create_method_processor(
            mode, pool, Service_info(Service_id("test::Calculator"), Instance_id("7")));
        EXPECT_EQ(processor->processing_mode(), 0);
        processor->post([&] { ran = true; });
        processor->post([&] { ran = true; });
        processor->wait();
    }  // the pool ran everything queued before its workers were joined
    EXPECT_FALSE(ran.load());
    const std::string warning =
        "Method call processing mode 0 drops every request of test::Calculator 7: no handler runs and no reply is sent";
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_EQ(record.level, ara::log::LogLevel::kWarn);
        EXPECT_EQ(record.context, "CPRT");
        EXPECT_EQ(record.text(), warning);
    }
}

class Processor : public ::testing::TestWithParam<Method_call_processing_mode> {
protected:
    static_thread_pool pool{3};
};

TEST_P(Processor, WaitReturnsAfterTheRunningRequestAndARequestPostedMeanwhileStillRuns) {
    auto processor = create_method_processor(GetParam(), pool);
    Gate gate;
    std::atomic<bool> long_started{false};
    std::atomic<bool> long_done{false};
    processor->post([&] {
        long_started = true;
        gate.wait();
        long_done = true;
    });
    ASSERT_TRUE(wait_until([&] { return long_started.load(); }));
    std::atomic<bool> done_at_return{false};
    std::thread waiter([&] {
        processor->wait();
        done_at_return = long_done.load();
    });
    std::promise<void> later_ran;
    processor->post([&] { later_ran.set_value(); });
    gate.open();
    waiter.join();
    EXPECT_TRUE(done_at_return.load());
    EXPECT_EQ(later_ran.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_P(Processor, WaitFromInsideARequestDoesNotBlock) {
    auto processor = create_method_processor(GetParam(), pool);
    std::promise<void> returned;
    processor->post([&] {
        processor->wait();
        returned.set_value();
    });
    ASSERT_EQ(returned.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_P(Processor, ConcurrentWaitsAndPostsLoseNoTaskAndDestroyNothingTwice) {
    auto processor = create_method_processor(GetParam(), pool);
    std::atomic<int> ran{0};
    std::atomic<int> posted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                processor->post([&] { ++ran; });
                ++posted;
                if (i % 10 == 0) processor->wait();
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) processor->wait();
    });
    for (auto& thread : threads) thread.join();
    processor->wait();
    EXPECT_EQ(ran.load(), posted.load());
}

INSTANTIATE_TEST_SUITE_P(ParallelAndSequential, Processor,
                         ::testing::Values(Method_call_processing_mode::kEvent,
                                           Method_call_processing_mode::kEventSingleThread));

TEST(SequentialProcessor, SecondRequestStartsOnlyAfterTheFirstReturned) {
    static_thread_pool pool(3);
    auto processor = create_method_processor(Method_call_processing_mode::kEventSingleThread, pool);
    Gate gate;
    std::atomic<bool> first_started{false};
    std::atomic<bool> first_done{false};
    std::atomic<bool> first_done_when_second_started{false};
    processor->post([&] {
        first_started = true;
        gate.wait();
        first_done = true;
    });
    processor->post([&] { first_done_when_second_started = first_done.load(); });
    ASSERT_TRUE(wait_until([&] { return first_started.load(); }));
    gate.open();
    processor->wait();
    EXPECT_TRUE(first_done_when_second_started.load());
}

TEST(ParallelProcessor, RunsRequestsAtTheSameTime) {
    static_thread_pool pool(2);
    auto processor = create_method_processor(Method_call_processing_mode::kEvent, pool);
    std::atomic<int> inside{0};
    std::atomic<int> met{0};
    Gate both;
    for (int i = 0; i < 2; ++i) {
        processor->post([&] {
            if (++inside == 2) both.open();
            if (both.wait()) ++met;
        });
    }
    processor->wait();
    EXPECT_EQ(met.load(), 2) << "each request saw the other one running";
}

}  // namespace
