#include "WardexFrame.h"

#include "WardexGlobals.h"
#include "WardexMonitor.h"

#include "ara/log/logging.h"
#include "ara/phm/phm_client.h"

#include <csignal>
#include <mutex>
#include <system_error>

namespace {

constexpr unsigned short kAliveSupervisionEntity = 25011;
constexpr unsigned short kAliveCheckpoint = 25011;
constexpr std::chrono::milliseconds kAlivePeriod{500};
constexpr std::chrono::milliseconds kListenerCycle{100};
constexpr int kCyclesPerAging = 50;
constexpr unsigned short kAgingPeriodMs = 5000;

// The termination signals, and how many of each the handler has counted and
// the reporter has logged.
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGABRT};
std::atomic<unsigned> signalsReceived[3];
unsigned signalsReported[3];
std::mutex reportMutex;
static_assert(std::atomic<unsigned>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

// Sleeps in short steps so that a set stop flag ends the wait early.
void pauseUnless(const std::atomic<bool>& stop, std::chrono::milliseconds duration) {
    constexpr std::chrono::milliseconds kStep{50};
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (auto now = std::chrono::steady_clock::now(); now < deadline && !stop.load();
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, deadline - now));
    }
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

AliveSupervisionHooks AliveSupervisionHooks::platform() {
    return {&ara::phm::make_default_checkpoint_sink,
            [](std::chrono::milliseconds duration) { pauseUnless(stopPhmAliveThread, duration); }};
}

SignalListenerHooks SignalListenerHooks::monitor() {
    return {[] { norda::phm::wardex::WardexMonitor::instance().ClearApplications(); },
            [] { norda::phm::wardex::WardexMonitor::instance().ageAllApplications(kAgingPeriodMs); },
            [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }};
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
    int cycles = 0;
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
        ++cycles;
        hooks.pause(kListenerCycle);
        if (cycles == kCyclesPerAging) {
            cycles = 0;
            guarded("signal listener", [&hooks] { hooks.ageApplications(); });
            ara::log::LogDebug() << "Listening for signals ";
        }
    }
}

SignalReporter::SignalReporter()
    : thread_([this] {
          while (!stop_.load()) {
              reportReceivedSignals();
              pauseUnless(stop_, std::chrono::milliseconds(50));
          }
      }) {}

SignalReporter::~SignalReporter() {
    stop_.store(true);
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
    threads_[static_cast<int>(which)] = std::thread(std::move(body));
}

void FrameThreads::join(Thread which) {
    auto& thread = threads_[static_cast<int>(which)];
    if (thread.joinable()) thread.join();
}
