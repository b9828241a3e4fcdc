#include "WardexFrame.h"

#include "ConfigurationLoader.h"
#include "DiagnosticMonitor.h"
#include "WardexGlobals.h"
#include "WardexMonitor.h"

#include "ara/log/logging.h"
#include "ara/phm/phm_client.h"
#include "wardex/base/wakeup.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>

namespace {

constexpr unsigned short kAliveSupervisionEntity = 25011;
constexpr unsigned short kAliveCheckpoint = 25011;
constexpr std::chrono::milliseconds kAlivePeriod{500};
constexpr std::chrono::milliseconds kAgingPeriod{5000};
constexpr unsigned short kAgingPeriodMs = 5000;

// The termination signals, and how many of each the handler has counted and
// reportReceivedSignals() has logged.
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGABRT};
std::atomic<unsigned> signalsReceived[3];
unsigned signalsReported[3];
std::mutex reportMutex;
static_assert(std::atomic<unsigned>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<const wardex::base::Wakeup*>::is_always_lock_free);

// The reporter's wake-up, which the signal handler notifies. Made once and
// never destroyed, so a handler never writes to a descriptor that was closed
// or reused meanwhile; null until the first reporter exists.
std::atomic<const wardex::base::Wakeup*> signalEvent{nullptr};

const wardex::base::Wakeup& signalWakeup() {
    static const wardex::base::Wakeup* const wakeup = [] {
        const auto* created = new wardex::base::Wakeup(wardex::base::Wakeup::Mode::blocking);
        signalEvent.store(created);
        return created;
    }();
    return *wakeup;
}

// Async-signal-safe: one write, errno left as it was.
void wakeReporter() noexcept {
    if (const auto* wakeup = signalEvent.load()) wakeup->notify();
}

std::mutex stopMutex;
std::condition_variable stopChanged;

void nameThread(std::thread& thread, const char* name) {
    ::pthread_setname_np(thread.native_handle(), name);
}

// Runs one step of a thread body; a failure is logged, never propagated.
template <typename Step>
void guarded(const char* where, Step&& step) {
    try {
        step();
    } catch (const std::system_error& error) {
        ara::log::LogError() << std::string("Unexpected system_error in the ") + where + ": "
                             << error.what();
    } catch (const std::exception& error) {
        ara::log::LogError() << std::string("Unexpected exception in the ") + where + ": "
                             << error.what();
    } catch (...) {
        ara::log::LogError() << std::string("Unknown exception happened in the ") + where;
    }
}

void reportCheckpoints(ara::phm::SupervisionEntity& entity, const AliveSupervisionHooks& hooks) {
    while (!stopPhmAliveThread.load()) {
        try {
            entity.CheckpointReached(kAliveSupervisionEntity, kAliveCheckpoint);
        } catch (const std::runtime_error& error) {
            ara::log::LogWarn() << "Exception at reporting WDX PHM checkpoint: " << error.what();
        } catch (...) {
            ara::log::LogError() << "Unknown exception happened during WDX PHM";
        }
        // Also after a failed report: PHM that is away is asked again in
        // 500 ms, not in a loop that floods the log.
        hooks.pause(kAlivePeriod);
    }
}

}  // namespace

void signal_handler(int signal) {
    for (int i = 0; i < 3; ++i) {
        if (signal != kTerminationSignals[i]) continue;
        signalsReceived[i].fetch_add(1);
        application_stop.store(true);
        stopPhmAliveThread.store(true);
        wakeReporter();
        return;
    }
}

void reportReceivedSignals() {
    std::lock_guard<std::mutex> lock(reportMutex);
    for (int i = 0; i < 3; ++i) {
        const unsigned received = signalsReceived[i].load();
        for (; signalsReported[i] != received; ++signalsReported[i]) {
            ara::log::LogWarn() << "received signal: " << kTerminationSignals[i];
        }
    }
}

void notifyStop() {
    // Taking the lock orders this call after a waiter's look at its flag, so
    // the wake-up cannot fall between that look and the wait.
    { std::lock_guard<std::mutex> lock(stopMutex); }
    stopChanged.notify_all();
}

void waitForStop(const std::atomic<bool>& flag, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopChanged.wait_for(lock, timeout, [&flag] { return flag.load(); });
}

void runMainBody(const std::function<void()>& body) {
    try {
        body();
    } catch (const std::system_error& error) {
        ara::log::LogError() << "std::system_error in Wardex Try: " << error.what();
    } catch (const std::exception& error) {
        ara::log::LogError() << "Unexpected exception: " << error.what();
    } catch (...) {
        ara::log::LogError() << "Unknown exception happened";
    }
}

void superviseConfiguredApplications(FrameThreads& threads) {
    if (readConfigurationFromJsonFile()) {
        // Offered before the callbacks can arrive.
        if (DTC_available) norda::phm::wardex::DiagnosticMonitor::instance().LogMyInfo();

        threads.start(FrameThreads::Thread::kCallback,
                      [] { connectCallbackClient(phmCallbackClient); });
        threads.start(FrameThreads::Thread::kSignalListener,
                      [] { listenForSignal(phmCallbackClient); });
        threads.join(FrameThreads::Thread::kSignalListener);
        threads.join(FrameThreads::Thread::kCallback);
    } else {
        ara::log::LogError() << "Error importing from JSON file. Make sure you are using the "
                                "correct database format and check above for errors.";
    }
}

AliveSupervisionHooks AliveSupervisionHooks::platform() {
    return {&ara::phm::make_default_checkpoint_sink,
            [](std::chrono::milliseconds duration) { waitForStop(stopPhmAliveThread, duration); }};
}

SignalListenerHooks SignalListenerHooks::monitor() {
    return {[] { norda::phm::wardex::WardexMonitor::instance().ClearApplications(); },
            [] { norda::phm::wardex::WardexMonitor::instance().ageAllApplications(kAgingPeriodMs); },
            [](std::chrono::milliseconds duration) { waitForStop(application_stop, duration); }};
}

void phm_alive_supervision() { phm_alive_supervision(AliveSupervisionHooks::platform()); }

void phm_alive_supervision(const AliveSupervisionHooks& hooks) {
    while (!stopPhmAliveThread.load()) {
        std::unique_ptr<ara::phm::Phm_client> client;
        std::unique_ptr<ara::phm::SupervisionEntity> entity;
        try {
            client = std::make_unique<ara::phm::Phm_client>(std::string(applicationName), hooks.makeSink());
            entity = std::make_unique<ara::phm::SupervisionEntity>(*client);
        } catch (const std::runtime_error& error) {
            ara::log::LogWarn() << "Exception at creating WDX PHM client: " << error.what();
            hooks.pause(kAlivePeriod);
            continue;
        } catch (...) {
            ara::log::LogError() << "Unknown exception happened during WDX PHM";
            hooks.pause(kAlivePeriod);
            continue;
        }
        reportCheckpoints(*entity, hooks);
        entity.reset();
        client.reset();
        return;
    }
}

void connectCallbackClient(ara::phm::PhmCallbackClient& client) {
    ara::log::LogDebug() << "Listening for Callbacks...";
    guarded("PHM callback client", [&client] { client.Run(0); });
    if (!client.stopped()) {
        ara::log::LogError() << "PHM callback client ended although no stop was requested";
    }
}

void listenForSignal(ara::phm::PhmCallbackClient& client) {
    listenForSignal(client, SignalListenerHooks::monitor());
}

void listenForSignal(ara::phm::PhmCallbackClient& client, const SignalListenerHooks& hooks) {
    for (;;) {
        // The warning of a signal comes before what the signal leads to.
        reportReceivedSignals();
        if (application_stop.load()) {
            guarded("signal listener", [&hooks] {
                ara::log::LogDebug() << "Clear Applications from Wardex MonitorList ";
                hooks.clearApplications();
            });
            guarded("signal listener", [&client] { client.Stop(); });
            ara::log::LogInfo() << "Stopping Callback Client. Terminating.";
            return;
        }
        hooks.pause(kAgingPeriod);
        if (application_stop.load()) continue;
        guarded("signal listener", [&hooks] { hooks.ageApplications(); });
        ara::log::LogDebug() << "Listening for signals ";
    }
}

SignalReporter::SignalReporter() {
    const auto& wakeup = signalWakeup();
    // Registered after InitLogging's shut-down, so it runs before it.
    static const bool reportsAtExit = std::atexit([] { reportReceivedSignals(); }) == 0;
    static_cast<void>(reportsAtExit);
    thread_ = std::thread([this, &wakeup] {
        while (!stop_.load()) {
            if (const int error = wakeup.wait()) {
                ara::log::LogError() << "Termination signals can no longer be waited for:"
                                     << std::generic_category().message(error);
                return;
            }
            guarded("signal reporter", [] { reportReceivedSignals(); });
            notifyStop();
        }
    });
    nameThread(thread_, "wdx-signals");
}

SignalReporter::~SignalReporter() {
    stop_.store(true);
    wakeReporter();
    thread_.join();
    reportReceivedSignals();
}

FrameThreads::FrameThreads(ara::phm::PhmCallbackClient& client) : client_(client) {}

FrameThreads::~FrameThreads() {
    bool running = false;
    for (const auto& thread : threads_) running = running || thread.joinable();
    if (!running) return;
    application_stop.store(true);
    stopPhmAliveThread.store(true);
    notifyStop();
    try {
        client_.Stop();
    } catch (...) {
        ara::log::LogError() << "Unknown exception happened while stopping the PHM callback client";
    }
    join(Thread::kSignalListener);
    join(Thread::kCallback);
    join(Thread::kAliveSupervision);
}

void FrameThreads::start(Thread which, std::function<void()> body) {
    static const char* const names[] = {"wdx-alive", "wdx-callbacks", "wdx-listener"};
    auto& thread = threads_[static_cast<int>(which)];
    thread = std::thread(std::move(body));
    nameThread(thread, names[static_cast<int>(which)]);
}

void FrameThreads::join(Thread which) {
    auto& thread = threads_[static_cast<int>(which)];
    if (thread.joinable()) thread.join();
}
