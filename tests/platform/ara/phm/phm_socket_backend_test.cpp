#include "ara/phm/phm_backend.h"
#include "ara/phm/phm_callback_client.h"
#include "ara/log/capture.h"
#include "platform/wardex/fake_line_daemon.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

namespace ara::phm {
namespace {

using wardex::testing::Fake_line_daemon;
using namespace std::chrono_literals;

// Runs a failure source on a thread until the end of the scope.
struct Running_source {
    explicit Running_source(Failure_source& source) : source(source) {}
    ~Running_source() {
        source.stop();
        returned.wait();
    }
    bool returns() { return returned.wait_for(10s) == std::future_status::ready; }
    std::vector<std::string> delivered() {
        std::lock_guard<std::mutex> lock(mutex);
        return names;
    }

    Failure_source& source;
    std::mutex mutex;
    std::vector<std::string> names;
    std::future<void> returned = std::async(std::launch::async, [this] {
        source.run([this](const std::string& name) {
            std::lock_guard<std::mutex> lock(mutex);
            names.push_back(name);
        });
    });
};

class PhmSocketBackend : public ::testing::Test {
protected:
    ~PhmSocketBackend() override { ::unlink(path_.c_str()); }  // of a test that listened by itself
    const std::string path_ = wardex::testing::private_socket("phm");
    log::Capture capture_;
};

TEST_F(PhmSocketBackend, AnnouncesEveryCallbackNameAndDeliversOnlyFailureLines) {
    Fake_line_daemon daemon(path_);
    auto source = make_socket_failure_source(path_, 20ms);
    source->subscribe("Name with blanks");
    Running_source running(*source);
    ASSERT_TRUE(daemon.wait_for_lines(1));
    source->subscribe("CB1");
    ASSERT_TRUE(daemon.wait_for_lines(2));
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"subscribe Name with blanks", "subscribe CB1"}));
    daemon.send_to_all("failure CB1\nbogus\nfailure \ndelivered 1\nfail");
    daemon.send_to_all("ure Name with blanks\n");
    ASSERT_TRUE(wardex::test::wait_until([&] { return running.delivered().size() >= 2; }));
    EXPECT_EQ(running.delivered(), (std::vector<std::string>{"CB1", "Name with blanks"}));
    EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"Ignored line from PHM: bogus unknown message",
                                                          "Ignored line from PHM: failure  missing or invalid name",
                                                          "Ignored line from PHM: delivered 1 unexpected message"}));
}

// Stop() ends Run also while it waits for an absent daemon, and is sticky; a
// callback client stopped before Run returns at once.
TEST_F(PhmSocketBackend, StopEndsRunWhileWaitingForTheDaemonAndIsSticky) {
    auto source = make_socket_failure_source(path_, std::chrono::hours(1));
    {
        Running_source running(*source);
        ASSERT_TRUE(capture_.wait_for_text("PHM is not reachable, waiting for it: connect to " + path_ +
                                            ": No such file or directory"));
        source->stop();
        EXPECT_TRUE(running.returns());
    }
    Fake_line_daemon daemon(path_);
    EXPECT_TRUE(Running_source(*source).returns());
    PhmCallbackClient client(make_socket_failure_source(path_, std::chrono::hours(1)));
    client.Stop();
    client.Run(0);
    EXPECT_TRUE(client.stopped());
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
