// Lets calls into one callback through until it is closed, and lets the one
// closing it wait until none of them runs any more, unless it is called from
// inside one of them: a callback that withdraws itself does not wait for
// itself. Each thread knows which gates it is inside; passes nest, an inner
// one restoring the outer ones when it ends.
#pragma once

#include <condition_variable>
#include <mutex>

namespace wardex::base {

class In_flight_gate {
public:
    // One call through the gate, held while the callback runs; on the stack
    // of the calling thread, never moved to another.
    class Pass {
    public:
        explicit Pass(In_flight_gate& gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        // False when the gate was closed: the callback must not be called.
        explicit operator bool() const noexcept { return gate_ != nullptr; }

    private:
        friend class In_flight_gate;
        In_flight_gate* gate_;
        const Pass* outer_;
    };

    // Closes the gate (no pass is given after this) and waits until every
    // call that passed it has ended, except those of this thread. Idempotent.
    void close();

private:
    std::mutex mutex_;
    std::condition_variable left_;
    int inside_{0};
    bool closed_{false};
};

}  // namespace wardex::base
