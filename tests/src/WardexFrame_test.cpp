#include "WardexFrame.h"
#include "app_fixture.h"

#include <csignal>

namespace {

using namespace std::chrono_literals;
using ara::log::LogLevel;
using wardex_test::Strings;

// Records every checkpoint; the first two of them throw.
class Recording_sink final : public ara::phm::Checkpoint_sink {
public:
    void checkpoint(const std::string& name, std::uint16_t entity, std::uint16_t id) override {
        reports.push_back(name + " " + std::to_string(entity) + " " + std::to_string(id));
        if (reports.size() <= 2) throw std::runtime_error("PHM is not reachable: gone");
    }
    Strings reports;
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
    ~Frame() override { application_stop.store(false), stopPhmAliveThread.store(false); }
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

// A client that cannot be built and a checkpoint that cannot be reported are
// both tried again after the full pause, never in a loop that floods the log.
TEST_F(Frame, AliveSupervisionRetriesItsClientAndFailedCheckpointsAfterThePause) {
    auto sink = std::make_shared<Recording_sink>();
    int attempts = 0;
    std::vector<std::chrono::milliseconds> pauses;
    phm_alive_supervision({[&]() -> std::shared_ptr<ara::phm::Checkpoint_sink> {
                               if (++attempts == 1) throw std::runtime_error("no PHM");
                               if (attempts == 2) throw 7;
                               return sink;
                           },
                           [&](std::chrono::milliseconds d) {
                               pauses.push_back(d);
                               if (sink->reports.size() == 4) stopPhmAliveThread.store(true);
                           }});
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(sink->reports, Strings(4, "Wardex 25011 25011"));
    EXPECT_EQ(pauses, std::vector<std::chrono::milliseconds>(6, 500ms));
    const std::string failed = "Exception at reporting WDX PHM checkpoint:  PHM is not reachable: gone";
    EXPECT_EQ(texts(LogLevel::kWarn), (Strings{"Exception at creating WDX PHM client:  no PHM", failed, failed}));
    EXPECT_EQ(texts(LogLevel::kError), Strings{"Unknown exception happened during WDX PHM"});
}

// Failures of aging and clearing are logged by type and the client is still
// stopped. Signals that came before the first cycle are warned about first,
// each once, and acted on at once.
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
    EXPECT_EQ(texts(LogLevel::kInfo), Strings{"Stopping Callback Client. Terminating."});
    EXPECT_EQ(texts(LogLevel::kError),
              (Strings{"Unexpected system_error in the signal listener:  aging: " + std::generic_category().message(EIO),
                       "Unexpected exception in the signal listener:  too long",
                       "Unknown exception happened in the signal listener"}));
    events_.clear();
    capture_.clear();
    application_stop.store(false), stopPhmAliveThread.store(false);
    for (int signal : {SIGUSR1, SIGTERM, SIGTERM, SIGINT}) signal_handler(signal);
    EXPECT_TRUE(capture_.records().empty());  // the handler itself logs nothing
    EXPECT_TRUE(application_stop.load() && stopPhmAliveThread.load());
    listenForSignal(client_, hooks(1000));
    reportReceivedSignals();
    EXPECT_EQ(events_, (Strings{"clear", "stop"}));
    Strings first = capture_.texts();
    first.resize(3);
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (Strings{"received signal:  15", "received signal:  15", "received signal:  2"}));
    EXPECT_EQ(texts(LogLevel::kWarn).size(), 3u);  // each signal once
}

// One minute's healing takes 13 passes after the last error; the stop clears.
TEST_F(Frame, MonitorHooksHealAMinuteInThirteenPassesAndClearAtTheStop) {
    auto& monitor = norda::phm::wardex::WardexMonitor::instance();
    monitor.RegisterApplication(client_, "cam", 5, 0, {}, {}, {"cam.fail"}, "12", 7, 1, "");
    const auto listener = SignalListenerHooks::monitor();
    for (int failure = 0; failure < 2; ++failure) {  // the second starts the healing time again
        client_.Deliver("cam.fail");
        for (int pass = 0; pass < 12; ++pass) listener.ageApplications();
    }
    EXPECT_TRUE(monitor.GetApplications().back()->hadError());
    listener.ageApplications();
    EXPECT_FALSE(monitor.GetApplications().back()->hadError());
    listener.clearApplications();
    EXPECT_TRUE(monitor.GetApplications().empty());
}

TEST_F(Frame, MainBodyEscapesAreLoggedByType) {
    runMainBody([] { throw std::system_error(EIO, std::generic_category(), "offer"); });
    runMainBody([] { throw std::length_error("too long"); });
    runMainBody([] { throw 1; });
    EXPECT_EQ(texts(LogLevel::kError), (Strings{"std::system_error in Wardex Try:  offer: " + std::generic_category().message(EIO),
                                                "Unexpected exception:  too long", "Unknown exception happened"}));
}

TEST_F(Frame, ThreadsLeftRunningByAnEarlyExitAreStoppedAndJoined) {
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
