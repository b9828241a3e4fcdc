#include "tq/com/future.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

// A follow-up runs in whichever thread completes the pair last: the one
// calling then() on a ready future, or the one fulfilling the promise.
TEST(FollowUp, RunsInTheThreadThatCompletesThePairWithTheValueVisible) {
    Promise<int> early;
    early.set_value(7);
    auto ready = early.get_future();
    std::thread::id ran_in;
    int seen = 0;
    auto after = ready.then([&](Future<int> value) {
        ran_in = std::this_thread::get_id();
        seen = value.get();
    });
    EXPECT_EQ(seen, 7);
    EXPECT_EQ(ran_in, std::this_thread::get_id());
    EXPECT_NO_THROW(after.get());

    Promise<std::string> late;
    std::string text;
    auto before = late.get_future().then([&](Future<std::string> value) {
        ran_in = std::this_thread::get_id();
        text = value.get();
    });
    EXPECT_FALSE(before.is_ready());
    std::thread::id fulfiller;
    std::thread([&] {
        fulfiller = std::this_thread::get_id();
        late.set_value("reply");
    }).join();
    EXPECT_EQ(text, "reply");
    EXPECT_EQ(ran_in, fulfiller);
    EXPECT_TRUE(before.is_ready());
}

// then() races set_value() (even rounds) or the promise's end (odd rounds),
// many times (also under ThreadSanitizer): whichever comes first, the
// follow-up runs exactly once and sees the value or the broken promise. The
// main thread looks at what it got only after the joins, because the stored
// exception may otherwise be released by the other thread through reference
// counts the sanitizer cannot see.
TEST(FollowUp, RacingThenAgainstSetValueOrAnAbandonedPromiseRunsTheFollowUpExactlyOnce) {
    for (int round = 0; round < 4000; ++round) {
        auto promise = std::make_unique<Promise<int>>();
        auto future = promise->get_future();
        std::atomic<int> runs{0};
        int value = -1;
        std::exception_ptr error;
        std::atomic<bool> go{false};
        std::thread fulfiller([&] {
            while (!go.load()) continue;
            round % 2 == 0 ? promise->set_value(round) : promise.reset();
        });
        std::thread consumer([&] {
            while (!go.load()) continue;
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
        if (round % 2 == 0) {
            ASSERT_TRUE(!error && value == round) << "round " << round;
        } else {
            ASSERT_TRUE(error) << "round " << round;
            ASSERT_EQ(error_code_of([&] { std::rethrow_exception(error); }), std::future_errc::broken_promise);
        }
    }
}

// The handler runs once, when the last future of a chain goes; what it throws
// does not leave that future's destructor.
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
    EXPECT_EQ(runs, 0) << "the intermediate futures ran their follow-ups and were destroyed";
    auto last = std::make_unique<Future<void>>(std::move(third));
    EXPECT_EQ(runs, 0) << "a moved-from future does not run it";
    EXPECT_NO_THROW(last.reset());
    EXPECT_EQ(runs, 1);
}

TEST(Misuse, EachMisuseThrowsItsFutureErrorAndRunsNoHandlerTwice) {
    using std::future_errc;
    Promise<int> promise, moved_from;
    Promise<int> other(std::move(moved_from));
    int runs = 0;
    auto future = promise.get_future();
    auto next = future.then([&](Future<int> ready) {
        ++runs;
        EXPECT_EQ(ready.get(), 1);
        EXPECT_EQ(error_code_of([&] { ready.get(); }), future_errc::no_state);
    });
    promise.set_value(1);
    const std::pair<std::function<void()>, future_errc> misuses[] = {
        {[&] { promise.set_value(2); }, future_errc::promise_already_satisfied},
        {[&] { promise.set_exception(std::make_exception_ptr(2)); }, future_errc::promise_already_satisfied},
        {[&] { promise.get_future(); }, future_errc::future_already_retrieved},
        {[&] { future.then([](Future<int>) {}); }, future_errc::no_state},
        {[&] { future.get(); }, future_errc::no_state},
        {[&] { moved_from.get_future(); }, future_errc::no_state},
        {[&] { moved_from.set_value(1); }, future_errc::no_state},
        {[&] { moved_from.set_future_dtor_handler([] {}); }, future_errc::no_state},
    };
    for (std::size_t i = 0; i < std::size(misuses); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(error_code_of(misuses[i].first), misuses[i].second);
    }
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(other.get_future().valid());
}

}  // namespace
