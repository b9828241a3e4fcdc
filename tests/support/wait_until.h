// Waiting on a condition another thread makes true, with a generous time-out
// instead of a sleep.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace wardex::test {

template <typename Predicate>
bool wait_until(Predicate&& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A gate tasks block on until the test opens it.
class Gate {
public:
    void open() { open_.store(true); }
    bool wait() const { return wait_until([this] { return open_.load(); }); }

private:
    std::atomic<bool> open_{false};
};

}  // namespace wardex::test
