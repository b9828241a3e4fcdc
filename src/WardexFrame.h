// The process frame around the supervision monitor: the termination signal
// handler and its reporter, the alive supervision towards PHM, the callback
// thread, the signal listener that drives healing and shutdown, and the
// owner of these threads. main() strings them together.
#pragma once

#include "ara/phm/phm_backend.h"
#include "ara/phm/phm_callback_client.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

// Termination request handler for SIGINT, SIGTERM and SIGABRT; other numbers
// are ignored. It only stores to lock-free atomics: the received signal is
// counted for reportReceivedSignals(), then application_stop and
// stopPhmAliveThread are set.
void signal_handler(int signal);

// Logs "received signal: " with the number once for every termination signal
// counted since the last call. Any normal thread may call it; a signal handler
// must not.
void reportReceivedSignals();

// Body of the alive-supervision thread: a checkpoint (25011, 25011) to PHM
// every 500 ms until stopPhmAliveThread is set.
void phm_alive_supervision();

// Body of the callback thread: runs the client until it is stopped.
void connectCallbackClient(ara::phm::PhmCallbackClient& client);

// Body of the signal-listener thread: every 100 ms checks application_stop,
// every 50 cycles ages all applications by 5000 ms; on a stop request clears
// the applications and stops the client.
void listenForSignal(ara::phm::PhmCallbackClient& client);

// What the alive supervision needs from outside; tests replace it.
struct AliveSupervisionHooks {
    // The sink the PHM client reports to.
    std::function<std::shared_ptr<ara::phm::Checkpoint_sink>()> makeSink;
    // Waits the given time; may return early once stopPhmAliveThread is set.
    std::function<void(std::chrono::milliseconds)> pause;

    static AliveSupervisionHooks platform();
};
void phm_alive_supervision(const AliveSupervisionHooks& hooks);

// What the signal listener needs from outside; tests replace it.
struct SignalListenerHooks {
    std::function<void()> clearApplications;
    std::function<void()> ageApplications;
    std::function<void(std::chrono::milliseconds)> pause;

    static SignalListenerHooks monitor();
};
void listenForSignal(ara::phm::PhmCallbackClient& client, const SignalListenerHooks& hooks);

// Calls reportReceivedSignals() every 50 ms on a thread of its own, and a last
// time when it is destroyed.
class SignalReporter {
public:
    SignalReporter();
    ~SignalReporter();
    SignalReporter(const SignalReporter&) = delete;
    SignalReporter& operator=(const SignalReporter&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Owns the frame's three threads. When it is destroyed with a thread still
// running (the start-up was left by an exception), it sets both stop flags,
// stops the callback client and joins every thread.
class FrameThreads {
public:
    enum class Thread { kAliveSupervision = 0, kCallback = 1, kSignalListener = 2 };

    explicit FrameThreads(ara::phm::PhmCallbackClient& client);
    ~FrameThreads();
    FrameThreads(const FrameThreads&) = delete;
    FrameThreads& operator=(const FrameThreads&) = delete;

    void start(Thread which, std::function<void()> body);
    // Joins the thread if it is joinable.
    void join(Thread which);

private:
    ara::phm::PhmCallbackClient& client_;
    std::thread threads_[3];
};
