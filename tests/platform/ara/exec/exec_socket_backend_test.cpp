#include "ara/exec/application_client.h"
#include "ara/exec/exec_backend.h"
#include "ara/exec/recovery_action_client.h"
#include "ara/log/capture.h"
#include "platform/wardex/fake_line_daemon.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

namespace ara::exec {
namespace {

using wardex::testing::Fake_line_daemon;
using namespace std::chrono_literals;

int error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code().value();
    }
    return 0;
}

class ExecSocketBackend : public ::testing::Test {
protected:
    std::shared_ptr<Execution_backend> backend(std::chrono::milliseconds timeout = 2s) {
        return make_socket_execution_backend(path_, "Wardex", timeout);
    }
    const std::string path_ = wardex::testing::private_socket("exec");
    log::Capture capture_;
};

TEST_F(ExecSocketBackend, EachRequestIsOneLineAndWaitsForItsAnswer) {
    Fake_line_daemon daemon(path_, [](const std::string&) { return std::string("ok"); });
    Recovery_action_client client(backend());
    ApplicationClient application(backend());
    application.ReportApplicationState(ApplicationState::kRunning);
    client.restart_instance("App1");
    client.stop_instance("App with blanks");
    client.reset_platform(5000);
    application.ReportApplicationState(ApplicationState::kShuttingdown);
    EXPECT_EQ(daemon.lines(),
              (std::vector<std::string>{"state Wardex kRunning", "restart App1", "stop App with blanks",
                                        "reset-platform 5000", "state Wardex kShuttingdown"}));
    EXPECT_TRUE(capture_.texts().empty());
}

TEST_F(ExecSocketBackend, RefusedRequestRaisesSystemErrorWithTheDaemonsErrno) {
    Fake_line_daemon daemon(path_, [](const std::string&) { return std::string("error 1 not yours"); });
    Recovery_action_client client(backend());
    try {
        client.restart_instance("App1");
        FAIL() << "no exception";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EPERM);
        EXPECT_EQ(std::string(error.what()), "execution management refused restart App1: not yours: " +
                                                 std::generic_category().message(EPERM));
    }
}

TEST_F(ExecSocketBackend, UndeliverableRequestsRaiseSystemErrorAndStateReportsDoNot) {
    Recovery_action_client client(backend());
    EXPECT_EQ(error_of([&] { client.restart_instance("App1"); }), ENOENT);
    EXPECT_EQ(error_of([&] { client.stop_instance("App1"); }), ENOENT);
    EXPECT_EQ(error_of([&] { client.reset_platform(5000); }), ENOENT);
    ApplicationClient application(backend());
    application.ReportApplicationState(ApplicationState::kRunning);
    EXPECT_EQ(capture_.count("Execution state not reported: connect to " + path_ +
                             ": No such file or directory"),
              1u);
}

TEST_F(ExecSocketBackend, UnsendableArgumentsAreRefusedBeforeAnythingIsSent) {
    Fake_line_daemon daemon(path_, [](const std::string&) { return std::string("ok"); });
    Recovery_action_client client(backend());
    EXPECT_EQ(error_of([&] { client.restart_instance("App1\nrestart App2"); }), EINVAL);
    EXPECT_EQ(error_of([&] { client.stop_instance(""); }), EINVAL);
    EXPECT_EQ(error_of([&] { client.reset_platform(-1); }), EINVAL);
    client.restart_instance("App3");
    EXPECT_EQ(daemon.lines(), std::vector<std::string>{"restart App3"});
}

TEST_F(ExecSocketBackend, MissingOrMalformedAnswersFailTheRequestAndResynchronise) {
    int answered = 0;
    Fake_line_daemon daemon(path_, [&answered](const std::string& line) -> std::optional<std::string> {
        ++answered;
        if (line == "restart Silent") return std::nullopt;
        if (line == "restart Garbled") return std::string("maybe");
        return std::string("ok");
    });
    Recovery_action_client client(backend(200ms));
    EXPECT_EQ(error_of([&] { client.restart_instance("Silent"); }), ETIMEDOUT);
    EXPECT_EQ(error_of([&] { client.restart_instance("Garbled"); }), EPROTO);
    EXPECT_EQ(capture_.count("Ignored line from EM: maybe unknown message"), 1u);
    client.restart_instance("App1");
    ASSERT_TRUE(daemon.wait_for_lines(3));
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"restart Silent", "restart Garbled", "restart App1"}));
}

TEST_F(ExecSocketBackend, RequestAfterTheDaemonRestartedGoesOverAFreshConnection) {
    Recovery_action_client client(backend());
    {
        Fake_line_daemon first(path_, [](const std::string&) { return std::string("ok"); });
        client.restart_instance("App1");
    }
    Fake_line_daemon second(path_, [](const std::string&) { return std::string("ok"); });
    client.restart_instance("App2");
    EXPECT_EQ(second.lines(), std::vector<std::string>{"restart App2"});
}

}  // namespace
}  // namespace ara::exec
