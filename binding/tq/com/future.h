// Promise and future of an asynchronous result, with a follow-up (`then`) that
// runs exactly once when the result is there, and a handler that runs when the
// future holding it is destroyed.
//
// Where a follow-up runs: in the thread calling `then` when the result is
// already stored, otherwise in the thread that stores the result (or destroys
// the promise unfulfilled), always after the state's lock is released.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace tq::com {

template <typename T>
class Future;
template <typename T>
class Promise;

namespace future_detail {

// Shared by one promise and the future made from it.
struct State {
    std::mutex mutex;
    std::function<void()> future_dtor_handler;
    std::function<void()> ready_handler;
    // Set under the mutex once the standard promise holds a value or an
    // exception; a promise destroyed before that stores broken_promise.
    bool satisfied{false};
};

inline std::function<void()> take(std::function<void()>& handler) {
    std::function<void()> taken = std::move(handler);
    handler = nullptr;
    return taken;
}

template <typename T, typename R, typename F>
void evaluate_ready_handler(Future<T>&& fut, Promise<R>&& p, F& f);

}  // namespace future_detail

template <typename T>
class Promise {
public:
    Promise() : state_(std::make_shared<future_detail::State>()) {}
    Promise(Promise&& other) noexcept
        : promise_(std::move(other.promise_)), state_(std::move(other.state_)) {}
    Promise& operator=(Promise&& other) noexcept {
        if (this != &other) {
            invalidate_ready_handler();
            promise_ = std::move(other.promise_);
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Promise(const Promise&) = delete;
    Promise& operator=(const Promise&) = delete;

    ~Promise() {
        invalidate_ready_handler();
        state_.reset();
    }

    Future<T> get_future() {
        if (!state_) throw std::future_error(std::future_errc::no_state);
        return Future<T>(promise_.get_future(), state_);
    }

    template <typename U = T, typename = std::enable_if_t<!std::is_void_v<U>>>
    void set_value(const U& value) {
        store([&] { promise_.set_value(value); });
    }
    template <typename U = T, typename = std::enable_if_t<!std::is_void_v<U>>>
    void set_value(U&& value) {
        store([&] { promise_.set_value(std::move(value)); });
    }
    template <typename U = T, typename = std::enable_if_t<std::is_void_v<U>>>
    void set_value() {
        store([&] { promise_.set_value(); });
    }

    void set_exception(std::exception_ptr error) {
        store([&] { promise_.set_exception(error); });
    }

    void set_future_dtor_handler(std::function<void()> handler) {
        if (!state_) throw std::future_error(std::future_errc::no_state);
        std::function<void()> previous;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            previous = std::exchange(state_->future_dtor_handler, std::move(handler));
        }
    }

    // Makes an unfulfilled promise's future ready with broken_promise while
    // holding the lock that `then` takes, so that a follow-up installed at any
    // moment runs exactly once. Called by the destructor.
    void invalidate_ready_handler() noexcept {
        if (!state_) return;
        std::function<void()> handler;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->satisfied) return;
            promise_.set_exception(
                std::make_exception_ptr(std::future_error(std::future_errc::broken_promise)));
            state_->satisfied = true;
            handler = future_detail::take(state_->ready_handler);
        }
        if (handler) handler();
    }

private:
    template <typename Store>
    void store(Store&& store_result) {
        if (!state_) throw std::future_error(std::future_errc::no_state);
        std::function<void()> handler;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            store_result();
            state_->satisfied = true;
            handler = future_detail::take(state_->ready_handler);
        }
        if (handler) handler();
    }

    std::promise<T> promise_;
    std::shared_ptr<future_detail::State> state_;
};

template <typename T>
class Future {
public:
    Future(Future&& other) noexcept
        : future_(std::move(other.future_)), state_(std::move(other.state_)) {}
    Future& operator=(Future&& other) noexcept {
        if (this != &other) {
            release();
            future_ = std::move(other.future_);
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Future(const Future&) = delete;
    Future& operator=(const Future&) = delete;

    ~Future() { release(); }

    T get() {
        if (!future_.valid()) throw std::future_error(std::future_errc::no_state);
        return future_.get();
    }

    bool valid() const noexcept { return state_ != nullptr && future_.valid(); }

    bool is_ready() const {
        return valid() && future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }

    template <typename F>
    auto then(F&& f) -> Future<std::invoke_result_t<std::decay_t<F>&, Future<T>>> {
        using R = std::invoke_result_t<std::decay_t<F>&, Future<T>>;
        if (!valid()) throw std::future_error(std::future_errc::no_state);
        auto state = state_;
        std::unique_lock<std::mutex> lock(state->mutex);
        Promise<R> promise;
        Future<R> result = promise.get_future();
        // The destroy handler travels to the end of the chain.
        result.state_->future_dtor_handler = future_detail::take(state->future_dtor_handler);
        if (is_ready()) {
            lock.unlock();
            std::decay_t<F> follow_up(std::forward<F>(f));
            future_detail::evaluate_ready_handler(std::move(*this), std::move(promise), follow_up);
        } else {
            auto waiting = std::make_shared<Future<T>>(std::move(*this));
            auto next = std::make_shared<Promise<R>>(std::move(promise));
            state->ready_handler = [waiting, next,
                                    follow_up = std::decay_t<F>(std::forward<F>(f))]() mutable {
                future_detail::evaluate_ready_handler(std::move(*waiting), std::move(*next),
                                                      follow_up);
            };
        }
        return result;
    }

private:
    template <typename U>
    friend class Promise;
    template <typename U>
    friend class Future;

    Future(std::future<T> future, std::shared_ptr<future_detail::State> state)
        : future_(std::move(future)), state_(std::move(state)) {}

    void release() noexcept {
        if (!state_) return;
        std::function<void()> ready;
        std::function<void()> on_destroy;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            ready = future_detail::take(state_->ready_handler);
            on_destroy = future_detail::take(state_->future_dtor_handler);
        }
        if (on_destroy) {
            try {
                on_destroy();
            } catch (...) {
                // A destroy handler must not fail the destruction.
            }
        }
        state_.reset();
    }

    std::future<T> future_;
    std::shared_ptr<future_detail::State> state_;
};

namespace future_detail {

template <typename R, typename Store>
void store_follow_up_result(Promise<R>& promise, Store&& store_result) {
    try {
        store_result();
    } catch (...) {
        try {
            promise.set_exception(std::current_exception());
        } catch (const std::future_error&) {
            // The result was stored before a later follow-up of the chain
            // failed; that failure already belongs to the next future.
        }
    }
}

template <typename T, typename R, typename F>
void evaluate_ready_handler(Future<T>&& fut, Promise<R>&& p, F& f) {
    Future<T> local(std::move(fut));
    Promise<R> promise(std::move(p));
    if constexpr (std::is_void_v<R>) {
        try {
            f(std::move(local));
        } catch (...) {
            promise.set_exception(std::current_exception());
            return;
        }
        store_follow_up_result(promise, [&] { promise.set_value(); });
    } else {
        std::optional<R> value;
        try {
            value.emplace(f(std::move(local)));
        } catch (...) {
            promise.set_exception(std::current_exception());
            return;
        }
        store_follow_up_result(promise, [&] { promise.set_value(std::move(*value)); });
    }
}

}  // namespace future_detail
}  // namespace tq::com
