#include "WardexFrame.h"
#include "app_fixture.h"

#include "ara/log/sink.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;
using ara::log::LogLevel;
using wardex_test::Strings;

// Records every checkpoint; the first `failures` of them throw.
class Recording_sink final : public ara::phm::Checkpoint_sink {
public:
    void checkpoint(const std::string& name, std::uint16_t entity, std::uint16_t id) override {
        reports.push_back(name + " " + std::to_string(entity) + " " + std::to_string(id));
        if (reports.size() <= failures) throw std::runtime_error("PHM is not reachable: gone");
    }
    Strings reports;
    std::size_t failures = 0;
};

class Frame : public ::testing::Test {
protected:
    Frame() {
        reportReceivedSignals();
        capture_.clear();
        application_stop.store(false);
        stopPhmAliveThread.store(false);
        source_->onStop = [this] { events_.push_back("stop"); };
    }
    ~Frame() override {
        application_stop.store(false);
        stopPhmAliveThread.store(false);
    }
    Strings texts(LogLevel level) const { return wardex_test::texts(capture_, level); }
    // Hooks of a listener whose waits return at once and are counted.
    SignalListenerHooks hooks(std::size_t stop_after_pauses) {
        return {[this] { events_.push_back("clear"); }, [this] { events_.push_back("age"); },
                [this, stop_after_pauses](std::chrono::milliseconds d) {
                    EXPECT_EQ(d, 5000ms);
                    events_.push_back("pause");
                    if (++pauses_ == stop_after_pauses) application_stop.store(true);
                }};
    }
    ara::log::Capture capture_;
    Strings events_;
    std::size_t pauses_ = 0;
    // Its Run blocks until it is stopped, which goes into the events.
    wardex_test::Scripted_failure_source* source_ = new wardex_test::Scripted_failure_source;
    ara::phm::PhmCallbackClient client_{std::unique_ptr<ara::phm::Failure_source>(source_)};
};

// The handler itself logs nothing; the reporter logs each signal once.
TEST_F(Frame, SignalHandlerCountsTerminationSignalsAndTheReporterLogsEachOnce) {
    signal_handler(SIGUSR1);
    signal_handler(SIGTERM);
    signal_handler(SIGTERM);
    signal_handler(SIGINT);
    EXPECT_TRUE(capture_.records().empty());
    EXPECT_TRUE(application_stop.load());
    EXPECT_TRUE(stopPhmAliveThread.load());
    reportReceivedSignals();
    reportReceivedSignals();
    auto warnings = texts(LogLevel::kWarn);
    std::sort(warnings.begin(), warnings.end());
    EXPECT_EQ(warnings, (Strings{"received signal:  15", "received signal:  15", "received signal:  2"}));
}

// A client that cannot be built and a checkpoint that cannot be reported are
// both tried again after the full pause, never in a loop that floods the log.
TEST_F(Frame, AliveSupervisionRetriesItsClientAndFailedCheckpointsAfterThePause) {
    auto sink = std::make_shared<Recording_sink>();
    sink->failures = 2;
    int attempts = 0;
    std::vector<std::chrono::milliseconds> pauses;
    phm_alive_supervision({[&]() -> std::shared_ptr<ara::phm::Checkpoint_sink> {
                               if (++attempts == 1) throw std::runtime_error("no PHM");
                               if (attempts == 2) throw 7;
                               return sink;
                           },
                           [&](std::chrono::milliseconds d) {
                               pauses.push_back(d);
                               // a pause after each failed creation and after each report
                               EXPECT_EQ(pauses.size(), std::min<std::size_t>(attempts, 2) + sink->reports.size());
                               if (sink->reports.size() == 4) stopPhmAliveThread.store(true);
                           }});
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(sink->reports, Strings(4, "Wardex 25011 25011"));
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(6, 500ms));
    const std::string failed = "Exception at reporting WDX PHM checkpoint:  PHM is not reachable: gone";
    EXPECT_EQ(texts(LogLevel::kWarn), (Strings{"Exception at creating WDX PHM client:  no PHM", failed, failed}));
    EXPECT_EQ(texts(LogLevel::kError), Strings{"Unknown exception happened during WDX PHM"});
    // With the flag already set nothing is built.
    phm_alive_supervision({[&] { return ++attempts, sink; }, [](std::chrono::milliseconds) {}});
    EXPECT_EQ(attempts, 3);
}

// Failures of aging and clearing are logged by type and the client is still
// stopped. A signal that came before the first cycle is warned about first
// and acted on at once.
TEST_F(Frame, ListenerAgesAfterEveryFullWaitAndClearsBeforeItStopsTheClient) {
    auto h = hooks(3);
    h.ageApplications = [this] {
        events_.push_back("age");
        if (events_.size() < 3) throw std::system_error(EIO, std::generic_category(), "aging");
        throw std::length_error("too long");
    };
    h.clearApplications = [this] { events_.push_back("clear"), throw 1; };
    listenForSignal(client_, h);
    EXPECT_EQ(events_, (Strings{"pause", "age", "pause", "age", "pause", "clear", "stop"}));
    EXPECT_TRUE(client_.stopped());
    EXPECT_EQ(texts(LogLevel::kDebug), (Strings{"Listening for signals ", "Listening for signals ",
                                                "Clear Applications from Wardex MonitorList "}));
    EXPECT_EQ(texts(LogLevel::kInfo), Strings{"Stopping Callback Client. Terminating."});
    EXPECT_EQ(texts(LogLevel::kError),
              (Strings{"Unexpected system_error in the signal listener:  aging: " + std::generic_category().message(EIO),
                       "Unexpected exception in the signal listener:  too long",
                       "Unknown exception happened in the signal listener"}));
    events_.clear();
    capture_.clear();
    application_stop.store(false);
    signal_handler(SIGTERM);
    listenForSignal(client_, hooks(1000));
    EXPECT_EQ(events_, (Strings{"clear", "stop"}));
    EXPECT_EQ(capture_.texts().at(0), "received signal:  15");
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
    source_->stop();  // the source ends although the client was never asked to stop
    connectCallbackClient(client_);
    EXPECT_EQ(texts(LogLevel::kDebug), Strings{"Listening for Callbacks..."});
    EXPECT_EQ(texts(LogLevel::kError), Strings{"PHM callback client ended although no stop was requested"});
    capture_.clear();
    client_.Stop();
    connectCallbackClient(client_);
    EXPECT_TRUE(texts(LogLevel::kError).empty());
}

// Threads left running by an early exit are stopped and joined; joined ones leave the flags alone.
TEST_F(Frame, ThreadsLeftRunningByAnEarlyExitAreStoppedAndJoined) {
    {
        FrameThreads threads(client_);
        threads.start(FrameThreads::Thread::kCallback, [] {});
        threads.join(FrameThreads::Thread::kCallback);
        threads.join(FrameThreads::Thread::kSignalListener);
    }
    EXPECT_FALSE(application_stop.load());
    EXPECT_TRUE(events_.empty());
    std::atomic<int> ended{0};
    {
        FrameThreads threads(client_);
        threads.start(FrameThreads::Thread::kAliveSupervision, [&] { waitForStop(stopPhmAliveThread, 1h), ++ended; });
        threads.start(FrameThreads::Thread::kCallback, [&] { client_.Run(0), ++ended; });
        threads.start(FrameThreads::Thread::kSignalListener, [&] { waitForStop(application_stop, 1h), ++ended; });
    }
    EXPECT_EQ(ended.load(), 3);
    EXPECT_EQ(events_, Strings{"stop"});
}

}  // namespace
