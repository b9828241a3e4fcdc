#include "ara/exec/application_client.h"
#include "ara/exec/exec_backend.h"
#include "ara/exec/recovery_action_client.h"
#include "ara/log/capture.h"
#include "platform/wardex/fake_line_daemon.h"
#include "wardex/protocol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

namespace ara::exec {
namespace {

using wardex::testing::Fake_line_daemon;
using namespace std::chrono_literals;

// The errno of the system_error the call raises, 0 without one.
int error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code().value();
    }
    return 0;
}

// A request line as EM reads it; its text without the identity; an answer to it.
wardex::protocol::Exec_message request_of(const std::string& line) {
    std::string error;
    auto message = wardex::protocol::parse_exec_line(line, error);
    EXPECT_TRUE(message && message->id != 0) << line << ": " << error;
    return message.value_or(wardex::protocol::Exec_message{});
}
std::string plain(const std::string& line) {
    auto message = request_of(line);
    message.id = 0;
    return wardex::protocol::format(message);
}
std::optional<std::string> answer(const std::string& line, const std::string& text) {
    return "answer " + std::to_string(request_of(line).id) + " " + text;
}
std::optional<std::string> ok(const std::string& line) { return answer(line, "ok"); }

class ExecSocketBackend : public ::testing::Test {
protected:
    std::shared_ptr<Execution_backend> backend(std::chrono::milliseconds timeout = 2s) {
        return make_socket_execution_backend(path_, "Wardex", timeout);
    }
    const std::string path_ = wardex::testing::private_socket("exec");
    log::Capture capture_;
};

// Identities count per client; a recovery request may take 2 s, a state
// report far less. Arguments that cannot go on one line are refused before
// anything is sent; a refusal carries EM's errno and text.
TEST_F(ExecSocketBackend, EachRequestCarriesItsIdentityAndDeadlineAndGetsItsOwnAnswer) {
    Fake_line_daemon daemon(path_, [](const std::string& line) {
        return plain(line) == "restart App1" ? answer(line, "error 1 not yours") : ok(line);
    });
    Recovery_action_client client(backend());
    ApplicationClient application(backend());
    const auto start_ns = static_cast<std::uint64_t>(
        std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch()).count());
    application.ReportApplicationState(ApplicationState::kRunning);
    try {
        client.restart_instance("App1");
        FAIL() << "no exception";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EPERM);
        EXPECT_EQ(std::string(error.what()), "execution management refused restart App1: not yours: " +
                                                 std::generic_category().message(EPERM));
    }
    EXPECT_EQ(error_of([&] { client.restart_instance("App1\nrestart App2"); }), EINVAL);
    EXPECT_EQ(error_of([&] { client.stop_instance(""); }), EINVAL);
    EXPECT_EQ(error_of([&] { client.reset_platform(-1); }), EINVAL);
    client.stop_instance("App with blanks");
    client.reset_platform(5000);
    application.ReportApplicationState(ApplicationState::kShuttingdown);
    std::vector<std::string> sent;  // identity and text of each line
    for (const auto& line : daemon.lines()) {
        sent.push_back(std::to_string(request_of(line).id) + " " + plain(line));
        const auto budget = request_of(line).deadline_ns - start_ns;
        EXPECT_TRUE(sent.back().find(" state ") == 1 ? budget < 1'000'000'000u : budget > 1'900'000'000u) << line;
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"1 state Wardex kRunning", "1 restart App1", "2 stop App with blanks",
                                              "3 reset-platform 5000", "2 state Wardex kShuttingdown"}));
    EXPECT_TRUE(capture_.texts().empty());
}

// Without EM a request fails; after EM (re)started a request goes over a
// fresh connection.
TEST_F(ExecSocketBackend, UndeliverableRequestsRaiseSystemErrorUntilTheDaemonIsBack) {
    Recovery_action_client client(backend());
    EXPECT_EQ(error_of([&] { client.restart_instance("App1"); }), ENOENT);
    {
        Fake_line_daemon first(path_, ok);
        client.restart_instance("App1");
    }
    Fake_line_daemon second(path_, ok);
    client.restart_instance("App2");
    ASSERT_EQ(second.lines().size(), 1u);
    EXPECT_EQ(plain(second.lines()[0]), "restart App2");
}

// Given a request EM answers only after its time-out, and lines nobody asked
// for, each later answer still belongs to its own request.
TEST_F(ExecSocketBackend, LateDuplicatedAndUnsolicitedAnswersAreLoggedAndDropped) {
    std::string silent;
    Fake_line_daemon daemon(path_, [&silent](const std::string& line) -> std::optional<std::string> {
        if (plain(line) == "restart Silent") {
            silent = line;
            return std::nullopt;
        }
        // The late "ok" of the silent request, an unsolicited answer, a line
        // without identity and a malformed one, then the refusal twice.
        const std::string refusal = *answer(line, "error 1 not yours");
        return *answer(silent, "ok") + "\nanswer 99 ok\nok\nmaybe\n" + refusal + "\n" + refusal;
    });
    Recovery_action_client client(backend(200ms));
    EXPECT_EQ(error_of([&] { client.restart_instance("Silent"); }), ETIMEDOUT);
    EXPECT_EQ(error_of([&] { client.restart_instance("App1"); }), EPERM);
    EXPECT_EQ(error_of([&] { client.stop_instance("App1"); }), EPERM);
    const std::vector<std::string> junk{"answer 1 ok late answer", "answer 99 ok unsolicited answer",
                                        "ok answer without identity", "maybe unknown message"};
    std::vector<std::string> expected;
    for (const auto& text : junk) expected.push_back("Ignored line from EM: " + text);
    expected.push_back("Ignored line from EM: answer 2 error 1 not yours late answer");
    for (const auto& text : junk) expected.push_back("Ignored line from EM: " + text);
    EXPECT_EQ(capture_.texts(), expected);
}

}  // namespace
}  // namespace ara::exec
