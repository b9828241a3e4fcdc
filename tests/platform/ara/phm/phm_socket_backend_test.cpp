#include "ara/phm/phm_backend.h"
#include "ara/phm/phm_callback_client.h"
#include "ara/log/capture.h"
#include "platform/wardex/fake_line_daemon.h"

#include <gtest/gtest.h>

#include "support/wait_until.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace ara::phm {
namespace {

using wardex::testing::Fake_line_daemon;
using namespace std::chrono_literals;

// Runs a failure source on a thread and collects what it delivers.
class Running_source {
public:
    explicit Running_source(Failure_source& source) : source_(source) {}
    ~Running_source() {
        source_.stop();
        thread_.join();
    }
    bool wait_for_delivered(std::size_t count) {
        return wardex::test::wait_until([&] { return delivered().size() >= count; });
    }
    bool wait_for_return() { return wardex::test::wait_until([&] { return returned_.load(); }); }
    std::vector<std::string> delivered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return delivered_;
    }

private:
    Failure_source& source_;
    std::mutex mutex_;
    std::vector<std::string> delivered_;
    std::atomic<bool> returned_{false};
    std::thread thread_{[this] {
        source_.run([this](const std::string& name) {
            std::lock_guard<std::mutex> lock(mutex_);
            delivered_.push_back(name);
        });
        returned_ = true;
    }};
};

class PhmSocketBackend : public ::testing::Test {
protected:
    ~PhmSocketBackend() override { ::unlink(path_.c_str()); }  // of a test that listened by itself
    const std::string path_ = wardex::testing::private_socket("phm");
    const std::string absent_ =
        "PHM is not reachable, waiting for it: connect to " + path_ + ": No such file or directory";
    log::Capture capture_;
};

TEST_F(PhmSocketBackend, AnnouncesEveryCallbackNameAndDeliversOnlyFailureLines) {
    Fake_line_daemon daemon(path_);
    auto source = make_socket_failure_source(path_, 20ms);
    source->subscribe("CB1");
    source->subscribe("Name with blanks");
    Running_source running(*source);
    ASSERT_TRUE(daemon.wait_for_lines(2));
    source->subscribe("Late");
    ASSERT_TRUE(daemon.wait_for_lines(3));
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"subscribe CB1", "subscribe Name with blanks",
                                                        "subscribe Late"}));

    daemon.send_to_all("failure CB1\nbogus\nfailure \ndelivered 1\nfail");
    daemon.send_to_all("ure Name with blanks\n");
    ASSERT_TRUE(running.wait_for_delivered(2));
    EXPECT_EQ(running.delivered(), (std::vector<std::string>{"CB1", "Name with blanks"}));
    EXPECT_EQ(capture_.count("Ignored line from PHM: bogus unknown message"), 1u);
    EXPECT_EQ(capture_.count("Ignored line from PHM: failure  missing or invalid name"), 1u);
    EXPECT_EQ(capture_.count("Ignored line from PHM: delivered 1 unexpected message"), 1u);
}

TEST_F(PhmSocketBackend, RunWaitsForAnAbsentDaemonAndReconnectsAfterItRestarts) {
    auto source = make_socket_failure_source(path_, 20ms);
    source->subscribe("CB1");
    Running_source running(*source);
    ASSERT_TRUE(capture_.wait_for_text(absent_));
    {
        Fake_line_daemon first(path_);
        ASSERT_TRUE(first.wait_for_lines(1));
        first.send_to_all("failure CB1\n");
        ASSERT_TRUE(running.wait_for_delivered(1));
    }
    ASSERT_TRUE(capture_.wait_for_text("Connection to PHM lost; reconnecting"));
    Fake_line_daemon second(path_);
    ASSERT_TRUE(second.wait_for_lines(1));
    EXPECT_EQ(second.lines(), std::vector<std::string>{"subscribe CB1"});
    second.send_to_all("failure CB1\n");
    ASSERT_TRUE(running.wait_for_delivered(2));
    EXPECT_TRUE(capture_.wait_for_text("Connected to PHM"));
    // One warning for the absence, however many attempts it took.
    EXPECT_EQ(capture_.count(absent_), 1u);
}

// Stop() ends Run also while it waits for an absent daemon (while connected,
// every Running_source's end does), and is sticky; a callback client stopped
// before Run returns at once.
TEST_F(PhmSocketBackend, StopEndsRunWhileWaitingForTheDaemonAndIsSticky) {
    auto source = make_socket_failure_source(path_, std::chrono::hours(1));
    {
        Running_source running(*source);
        ASSERT_TRUE(capture_.wait_for_text(absent_));
        source->stop();
        EXPECT_TRUE(running.wait_for_return());
    }
    Fake_line_daemon daemon(path_);
    Running_source again(*source);
    EXPECT_TRUE(again.wait_for_return());
    PhmCallbackClient client(make_socket_failure_source(path_, std::chrono::hours(1)));
    client.Stop();
    client.Run(0);
    EXPECT_TRUE(client.stopped());
}

// A PHM that accepts but never reads: the subscriptions stay queued, the
// failures it sends are still delivered, and Stop() ends Run at once.
TEST_F(PhmSocketBackend, PhmThatTakesNothingHoldsUpNeitherFailuresNorStop) {
    const auto listening = wardex::io::listen_unix(path_);
    auto source = make_socket_failure_source(path_, 20ms);
    for (int i = 0; i < 2000; ++i) source->subscribe(std::string(500, 'n') + std::to_string(i));
    source->subscribe("CB1");
    Running_source running(*source);
    wardex::io::Fd phm;
    for (int i = 0; i < 500 && !phm; ++i) {
        std::this_thread::sleep_for(10ms);
        phm = wardex::io::accept_connection(listening.get());
    }
    ASSERT_TRUE(phm);
    wardex::io::write_all(phm.get(), "failure CB1\n");
    ASSERT_TRUE(running.wait_for_delivered(1));
    source->stop();
    EXPECT_TRUE(running.wait_for_return());
}

TEST_F(PhmSocketBackend, CheckpointIsOneLineFailsWithoutDaemonAndSurvivesADaemonRestart) {
    auto sink = make_socket_checkpoint_sink(path_);
    try {
        sink->checkpoint("Wardex", 25011, 25011);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "PHM is not reachable: connect to " + path_ + ": No such file or directory");
    }
    for (const std::uint16_t id : {25011, 65535}) {
        Fake_line_daemon daemon(path_);
        sink->checkpoint("Wardex", 1, id);
        EXPECT_THROW(sink->checkpoint("Bad\nname", 1, 1), std::runtime_error);
        ASSERT_TRUE(daemon.wait_for_lines(1));
        EXPECT_EQ(daemon.lines(), std::vector<std::string>{"checkpoint Wardex 1 " + std::to_string(id)});
    }
}

// Checkpoints to a PHM that never reads pile up only in a small queue; once
// it is full the checkpoint fails instead of waiting, and the next one goes
// over a fresh connection.
TEST_F(PhmSocketBackend, CheckpointToAPhmThatTakesNothingFailsInsteadOfWaiting) {
    const auto listening = wardex::io::listen_unix(path_);
    auto sink = make_socket_checkpoint_sink(path_);
    std::string failure;
    for (int i = 0; i < 1000000 && failure.empty(); ++i) {
        try {
            sink->checkpoint("Wardex", 25011, 25011);
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
    }
    EXPECT_EQ(failure.rfind("PHM is not reachable: ", 0), 0u) << failure;
    EXPECT_NE(failure.find(std::generic_category().message(ENOBUFS)), std::string::npos) << failure;
    sink->checkpoint("Wardex", 25011, 25011);
    int connections = 0;
    while (wardex::io::accept_connection(listening.get())) ++connections;
    EXPECT_EQ(connections, 2);
}

}  // namespace
}  // namespace ara::phm
