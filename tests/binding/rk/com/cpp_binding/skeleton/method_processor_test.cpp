#include "rk/com/cpp_binding/skeleton/method_processors.h"

#include "ara/log/capture.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using rk::com::static_thread_pool;
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
            mode, pool, {tq::com::runtime::Service_id("test::Calculator"), tq::com::runtime::Instance_id("7")});
        processor->post([&] { ran = true; });
        processor->post([&] { ran = true; });
        processor->wait();
    }  // the pool ran everything queued before its workers were joined
    EXPECT_FALSE(ran.load());
    std::vector<std::string> logged;
    for (const auto& record : capture.records()) {
        logged.push_back(std::string(to_string(record.level)) + " " + record.context + " " + record.text());
    }
    const std::string warning = "warn CPRT Method call processing mode 0 drops every request of test::Calculator 7: "
                                "no handler runs and no reply is sent";
    EXPECT_EQ(logged, (std::vector<std::string>{warning, warning}));
}

class Processor : public ::testing::TestWithParam<Method_call_processing_mode> {
protected:
    static_thread_pool pool{3};
};

// wait() does not block inside a request (in parallel mode one runs while the
// first is blocked), and a wait from inside one does not take the other running
// requests away from a later wait; a request posted during a wait still runs.
TEST_P(Processor, WaitReturnsAfterTheRunningRequestAndNeverBlocksInsideOne) {
    auto processor = create_method_processor(GetParam(), pool);
    EXPECT_EQ(processor->processing_mode(), static_cast<std::uint8_t>(GetParam()));
    Gate gate;
    std::atomic<bool> long_started{false}, long_done{false}, done_at_return{false};
    processor->post([&] {
        long_started = true;
        gate.wait();
        long_done = true;
    });
    ASSERT_TRUE(wait_until([&] { return long_started.load(); }));
    std::promise<void> inner_ran, posted_ran;
    if (GetParam() == Method_call_processing_mode::kEvent) {
        processor->post([&] {
            processor->wait();
            inner_ran.set_value();
        });
        ASSERT_EQ(inner_ran.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        processor->wait();
        done_at_return = long_done.load();
        returned = true;
    });
    processor->post([&] {
        processor->wait();
        posted_ran.set_value();
    });
    // Still waiting while the first request runs.
    EXPECT_FALSE(wait_until([&] { return returned.load(); }, std::chrono::milliseconds(200)));
    gate.open();
    waiter.join();
    EXPECT_TRUE(done_at_return.load());
    EXPECT_EQ(posted_ran.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

INSTANTIATE_TEST_SUITE_P(ParallelAndSequential, Processor,
                         ::testing::Values(Method_call_processing_mode::kEvent,
                                           Method_call_processing_mode::kEventSingleThread));

}  // namespace
