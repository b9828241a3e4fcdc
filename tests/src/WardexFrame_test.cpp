#include "WardexFrame.h"
#include "WardexGlobals.h"

#include "ara/log/capture.h"
#include "ara/log/sink.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace {

using namespace std::chrono_literals;
using ara::log::LogLevel;

// A failure source whose run() blocks until stop(), recording the calls.
class Recording_source final : public ara::phm::Failure_source {
public:
    explicit Recording_source(std::vector<std::string>& events, bool return_at_once = false)
        : events_(events), return_at_once_(return_at_once) {}
    void subscribe(const std::string&) override {}
    void run(const std::function<void(const std::string&)>&) override {
        if (return_at_once_) return;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopped_; });
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back("stop");
        stopped_ = true;
        changed_.notify_all();
    }

private:
    std::vector<std::string>& events_;
    bool return_at_once_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
};

// Records every checkpoint; the first `failures` of them throw.
class Recording_sink final : public ara::phm::Checkpoint_sink {
public:
    void checkpoint(const std::string& name, std::uint16_t entity, std::uint16_t id) override {
        reports.push_back(name + " " + std::to_string(entity) + " " + std::to_string(id));
        if (reports.size() <= failures) throw std::runtime_error("PHM is not reachable: gone");
    }
    std::vector<std::string> reports;
    std::size_t failures = 0;
};

class Frame : public ::testing::Test {
protected:
    void SetUp() override {
        reportReceivedSignals();
        capture_.clear();
        application_stop.store(false);
        stopPhmAliveThread.store(false);
    }
    void TearDown() override {
        application_stop.store(false);
        stopPhmAliveThread.store(false);
    }
    std::vector<std::string> texts(LogLevel level) const {
        std::vector<std::string> result;
        for (const auto& record : capture_.records()) {
            if (record.level == level) result.push_back(record.text());
        }
        return result;
    }
    ara::log::Capture capture_;
};

TEST_F(Frame, SignalHandlerOnlyCountsTerminationSignalsAndTheReporterLogsEachOnce) {
    signal_handler(SIGUSR1);
    signal_handler(SIGHUP);
    reportReceivedSignals();
    EXPECT_FALSE(application_stop.load());
    EXPECT_FALSE(stopPhmAliveThread.load());
    EXPECT_TRUE(capture_.records().empty());

    signal_handler(SIGTERM);
    signal_handler(SIGTERM);
    signal_handler(SIGINT);
    // The handler itself logs nothing.
    EXPECT_TRUE(capture_.records().empty());
    EXPECT_TRUE(application_stop.load());
    EXPECT_TRUE(stopPhmAliveThread.load());
    reportReceivedSignals();
    reportReceivedSignals();
    auto warnings = texts(LogLevel::kWarn);
    std::sort(warnings.begin(), warnings.end());
    EXPECT_EQ(warnings, (std::vector<std::string>{"received signal:  15", "received signal:  15",
                                                  "received signal:  2"}));
}

// A client that cannot be built and a checkpoint that cannot be reported are
// both tried again after the full pause, never in a loop that floods the log.
TEST_F(Frame, AliveSupervisionRetriesItsClientAndFailedCheckpointsAfterThePause) {
    auto sink = std::make_shared<Recording_sink>();
    sink->failures = 2;
    int attempts = 0;
    std::vector<std::chrono::milliseconds> pauses;
    phm_alive_supervision({[&]() -> std::shared_ptr<ara::phm::Checkpoint_sink> {
                               ++attempts;
                               if (attempts == 1) throw std::runtime_error("no PHM");
                               if (attempts == 2) throw 7;
                               return sink;
                           },
                           [&](std::chrono::milliseconds d) {
                               pauses.push_back(d);
                               if (!sink->reports.empty()) {
                                   EXPECT_EQ(pauses.size(), sink->reports.size() + 2);
                               }
                               if (sink->reports.size() == 4) stopPhmAliveThread.store(true);
                           }});
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(sink->reports, std::vector<std::string>(4, "Wardex 25011 25011"));
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(6, 500ms));
    EXPECT_EQ(texts(LogLevel::kWarn),
              (std::vector<std::string>{"Exception at creating WDX PHM client:  no PHM",
                                        "Exception at reporting WDX PHM checkpoint:  PHM is not reachable: gone",
                                        "Exception at reporting WDX PHM checkpoint:  PHM is not reachable: gone"}));
    EXPECT_EQ(texts(LogLevel::kError), std::vector<std::string>{"Unknown exception happened during WDX PHM"});

    // With the flag already set nothing is built.
    attempts = 0;
    phm_alive_supervision({[&] {
                               ++attempts;
                               return sink;
                           },
                           [](std::chrono::milliseconds) {}});
    EXPECT_EQ(attempts, 0);
}

// Given a listener whose waits return at once and are counted.
class Listener : public Frame {
protected:
    SignalListenerHooks hooks(std::size_t stop_after_pauses) {
        return {[this] { events_.push_back("clear"); },
                [this] { events_.push_back("age"); },
                [this, stop_after_pauses](std::chrono::milliseconds d) {
                    EXPECT_EQ(d, 5000ms);
                    events_.push_back("pause");
                    if (++pauses_ == stop_after_pauses) application_stop.store(true);
                }};
    }
    std::vector<std::string> events_;
    std::size_t pauses_ = 0;
};

TEST_F(Listener, AgesAfterEveryFullWaitAndClearsBeforeItStopsTheClient) {
    ara::phm::PhmCallbackClient client(std::make_unique<Recording_source>(events_));
    listenForSignal(client, hooks(3));
    EXPECT_EQ(events_, (std::vector<std::string>{"pause", "age", "pause", "age", "pause", "clear", "stop"}));
    EXPECT_TRUE(client.stopped());
    EXPECT_EQ(texts(LogLevel::kDebug),
              (std::vector<std::string>{"Listening for signals ", "Listening for signals ",
                                        "Clear Applications from Wardex MonitorList "}));
    EXPECT_EQ(texts(LogLevel::kInfo), std::vector<std::string>{"Stopping Callback Client. Terminating."});
}

TEST_F(Listener, SignalBeforeTheFirstCycleIsWarnedAboutFirstAndActedOnAtOnce) {
    ara::phm::PhmCallbackClient client(std::make_unique<Recording_source>(events_));
    signal_handler(SIGTERM);
    listenForSignal(client, hooks(1000));
    EXPECT_EQ(events_, (std::vector<std::string>{"clear", "stop"}));
    const auto records = capture_.records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].level, LogLevel::kWarn);
    EXPECT_EQ(records[0].text(), "received signal:  15");
    EXPECT_EQ(records[1].text(), "Clear Applications from Wardex MonitorList ");
}

TEST_F(Listener, FailuresOfAgingAndClearingAreLoggedAndTheClientIsStillStopped) {
    ara::phm::PhmCallbackClient client(std::make_unique<Recording_source>(events_));
    auto h = hooks(3);
    h.ageApplications = [this] {
        events_.push_back("age");
        if (events_.size() < 3) throw std::system_error(EIO, std::generic_category(), "aging");
        throw std::length_error("too long");
    };
    h.clearApplications = [] { throw 1; };
    listenForSignal(client, h);
    EXPECT_TRUE(client.stopped());
    EXPECT_EQ(events_.back(), "stop");
    EXPECT_EQ(texts(LogLevel::kError),
              (std::vector<std::string>{
                  "Unexpected system_error in the signal listener:  aging: " + std::generic_category().message(EIO),
                  "Unexpected exception in the signal listener:  too long",
                  "Unknown exception happened in the signal listener"}));
    EXPECT_EQ(capture_.count("Listening for signals "), 2u);
}

// Given the listener and the alive supervision waiting for a stop far longer
// than any test runs, when a termination signal arrives, the reporter logs it
// and both threads end: nothing but the stop can have woken them.
TEST_F(Frame, ATerminationSignalIsLoggedAndWakesEveryThreadWaitingForAStop) {
    SignalReporter reporter;
    const auto previous = std::signal(SIGTERM, signal_handler);
    std::vector<std::string> events;
    ara::phm::PhmCallbackClient client(std::make_unique<Recording_source>(events));
    auto sink = std::make_shared<Recording_sink>();
    std::atomic<int> waiting{0};
    std::thread listener([&] {
        listenForSignal(client, {[&] { events.push_back("clear"); }, [&] { events.push_back("age"); },
                                 [&](std::chrono::milliseconds) {
                                     ++waiting;
                                     waitForStop(application_stop, 1h);
                                 }});
    });
    std::thread alive([&] {
        phm_alive_supervision({[&] { return sink; }, [&](std::chrono::milliseconds) {
                                   ++waiting;
                                   waitForStop(stopPhmAliveThread, 1h);
                               }});
    });
    while (waiting.load() < 2) std::this_thread::yield();
    std::raise(SIGTERM);
    listener.join();
    alive.join();
    std::signal(SIGTERM, previous);
    EXPECT_EQ(events, (std::vector<std::string>{"clear", "stop"}));
    EXPECT_EQ(sink->reports, std::vector<std::string>{"Wardex 25011 25011"});
    const auto records = capture_.records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].text(), "received signal:  15");
    EXPECT_EQ(capture_.count("received signal:  15"), 1u);
}

// A signal that arrives after the reporter has gone (late in the teardown) is
// still logged, once, when the process exits.
TEST(FrameDeathTest, ASignalAfterTheReporterHasGoneIsLoggedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    class Stderr_sink final : public ara::log::Sink {
        void write(const ara::log::Logger&, const ara::log::Record& record) noexcept override {
            std::fprintf(stderr, "[%s]\n", record.text().c_str());
        }
    };
    EXPECT_EXIT(
        {
            ara::log::set_sinks({std::make_shared<Stderr_sink>()});
            { SignalReporter reporter; }
            signal_handler(SIGINT);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^\\[received signal:  2\\]\n$");
}

TEST_F(Frame, CallbackThreadLogsWhenRunEndsWithoutAStopRequest) {
    std::vector<std::string> events;
    {
        ara::phm::PhmCallbackClient client(std::make_unique<Recording_source>(events, true));
        connectCallbackClient(client);
        EXPECT_EQ(texts(LogLevel::kDebug), std::vector<std::string>{"Listening for Callbacks..."});
        EXPECT_EQ(texts(LogLevel::kError),
                  std::vector<std::string>{"PHM callback client ended although no stop was requested"});
    }
    capture_.clear();
    ara::phm::PhmCallbackClient stopped(std::make_unique<Recording_source>(events));
    stopped.Stop();
    connectCallbackClient(stopped);
    EXPECT_TRUE(texts(LogLevel::kError).empty());
}

TEST_F(Frame, ThreadsLeftRunningByAnEarlyExitAreStoppedAndJoinedOthersLeaveTheFlagsAlone) {
    std::vector<std::string> events;
    ara::phm::PhmCallbackClient client(std::make_unique<Recording_source>(events));
    {
        FrameThreads threads(client);
        threads.start(FrameThreads::Thread::kCallback, [] {});
        threads.join(FrameThreads::Thread::kCallback);
        threads.join(FrameThreads::Thread::kSignalListener);
    }
    EXPECT_FALSE(application_stop.load());
    EXPECT_TRUE(events.empty());

    std::atomic<int> ended{0};
    {
        FrameThreads threads(client);
        threads.start(FrameThreads::Thread::kAliveSupervision, [&] {
            waitForStop(stopPhmAliveThread, 1h);
            ++ended;
        });
        threads.start(FrameThreads::Thread::kCallback, [&] {
            client.Run(0);
            ++ended;
        });
        threads.start(FrameThreads::Thread::kSignalListener, [&] {
            waitForStop(application_stop, 1h);
            ++ended;
        });
    }
    EXPECT_EQ(ended.load(), 3);
    EXPECT_EQ(events, std::vector<std::string>{"stop"});
}

}  // namespace
