// The process frame around the supervision monitor: the termination signal
// handler and its reporter, the alive supervision towards PHM, the callback
// thread, the signal listener that drives healing and shutdown, and the
// owner of these threads. main() strings them together.
//
// No thread polls: a termination signal wakes the reporter through an event
// descriptor, and the reporter, once it has logged the signal, wakes every
// thread that waits for a stop (the listener between aging passes, the alive
// supervision between checkpoints).
#pragma once

#include "ara/phm/phm_backend.h"
#include "ara/phm/phm_callback_client.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

// Termination request handler for SIGINT, SIGTERM and SIGABRT; other numbers
// are ignored. It only stores to lock-free atomics and writes to the
// reporter's event descriptor: the received signal is counted for
// reportReceivedSignals(), then application_stop and stopPhmAliveThread are set.
void signal_handler(int signal);

// Logs "received signal: " with the number once for every termination signal
// counted since the last call. Any normal thread may call it; a signal handler
// must not.
void reportReceivedSignals();

// Wakes every waitForStop() so that it looks at its flag again. Called by a
// normal thread after it set a stop flag, or after a signal handler did.
void notifyStop();
// Waits until the flag is set (and notifyStop() has been called) or the time
// has passed.
void waitForStop(const std::atomic<bool>& flag, std::chrono::milliseconds timeout);

// Body of the alive-supervision thread: a checkpoint (25011, 25011) to PHM
// every 500 ms until stopPhmAliveThread is set.
void phm_alive_supervision();

// Body of the callback thread: runs the client until it is stopped.
void connectCallbackClient(ara::phm::PhmCallbackClient& client);

// Body of the signal-listener thread: ages all applications by 5000 ms every
// 5 s; on a stop request clears the applications and stops the client.
void listenForSignal(ara::phm::PhmCallbackClient& client);

// Runs main's body under its top-level handlers: an exception that leaves the
// body is logged at error level by its type and goes no further.
void runMainBody(const std::function<void()>& body);

// What the alive supervision needs from outside; tests replace it.
struct AliveSupervisionHooks {
    // The sink the PHM client reports to.
    std::function<std::shared_ptr<ara::phm::Checkpoint_sink>()> makeSink;
    // Waits the given time; returns early once stopPhmAliveThread is set.
    std::function<void(std::chrono::milliseconds)> pause;

    static AliveSupervisionHooks platform();
};
void phm_alive_supervision(const AliveSupervisionHooks& hooks);

// What the signal listener needs from outside; tests replace it.
struct SignalListenerHooks {
    std::function<void()> clearApplications;
    std::function<void()> ageApplications;
    // Waits the given time; returns early once application_stop is set.
    std::function<void(std::chrono::milliseconds)> pause;

    static SignalListenerHooks monitor();
};
void listenForSignal(ara::phm::PhmCallbackClient& client, const SignalListenerHooks& hooks);

// A thread that sleeps until a termination signal arrives, logs it with
// reportReceivedSignals() and wakes the threads waiting for a stop. It is
// created before the signal handler is installed and destroyed as the last
// step of main's teardown, so that a signal arriving during the teardown is
// logged as well; one arriving after it has gone is logged at process exit,
// before logging shuts down.
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

    // Starts the thread, named for tools that list a process's threads.
    void start(Thread which, std::function<void()> body);
    // Joins the thread if it is joinable.
    void join(Thread which);

private:
    ara::phm::PhmCallbackClient& client_;
    std::thread threads_[3];
};

// Reads the configuration. When it could be read, offers the DTC monitor if
// one is configured, starts the callback thread and the signal listener and
// returns once both have ended; otherwise logs that the import failed and
// returns at once.
void superviseConfiguredApplications(FrameThreads& threads);
