#include "tq/com/future.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using tq::com::Future;
using tq::com::Promise;

std::future_errc error_code_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::future_error& error) {
        return static_cast<std::future_errc>(error.code().value());
    }
    ADD_FAILURE() << "no std::future_error thrown";
    return std::future_errc{};
}

// then() races set_value() (even rounds) or the promise's end (odd rounds):
// the follow-up runs exactly once and sees the value or the broken promise.
// What it got is read only after the joins (ThreadSanitizer cannot see the
// reference counts that may release the stored exception).
TEST(FollowUp, RacingThenAgainstSetValueOrAnAbandonedPromiseRunsTheFollowUpExactlyOnce) {
    for (int round = 0; round < 1000; ++round) {
        auto promise = std::make_unique<Promise<int>>();
        auto future = promise->get_future();
        std::atomic<int> runs{0};
        int value = -1;
        std::exception_ptr error;
        std::atomic<bool> go{false};
        std::thread fulfiller([&] {
            while (!go.load()) std::this_thread::yield();
            round % 2 == 0 ? promise->set_value(round) : promise.reset();
        });
        std::thread consumer([&] {
            while (!go.load()) std::this_thread::yield();
            future.then([&](Future<int> ready) {
                try {
                    value = ready.get();
                } catch (...) {
                    error = std::current_exception();
                }
                ++runs;
            });
        });
        go = true;
        fulfiller.join();
        consumer.join();
        ASSERT_EQ(runs.load(), 1) << "round " << round;
        ASSERT_TRUE(round % 2 == 0 ? !error && value == round
                                   : error && error_code_of([&] { std::rethrow_exception(error); }) ==
                                                  std::future_errc::broken_promise)
            << "round " << round;
    }
}

// The handler runs once, when the last future of a chain goes; what it throws
// does not leave that future's destructor. A second value is refused.
TEST(DestroyHandler, TravelsToTheEndOfAThenChainAndItsExceptionIsSwallowed) {
    Promise<void> promise;
    int runs = 0;
    promise.set_future_dtor_handler([&] {
        ++runs;
        throw std::runtime_error("cleanup failed");
    });
    auto first = promise.get_future();
    auto second = first.then([](Future<void>) {});
    auto third = second.then([](Future<void>) {});
    promise.set_value();
    EXPECT_EQ(error_code_of([&] { promise.set_value(); }), std::future_errc::promise_already_satisfied);
    EXPECT_EQ(runs, 0) << "the intermediate futures ran their follow-ups and were destroyed";
    auto last = std::make_unique<Future<void>>(std::move(third));
    EXPECT_EQ(runs, 0) << "a moved-from future does not run it";
    EXPECT_NO_THROW(last.reset());
    EXPECT_EQ(runs, 1);
}

}  // namespace
