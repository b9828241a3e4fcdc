// The EM and PHM backends over their sockets, against a hand-written
// stand-in for the daemon: it listens on a private socket, records every line
// it receives, answers through a reply function and can push lines to its
// clients.
#include "ara/exec/application_client.h"
#include "ara/exec/exec_backend.h"
#include "ara/exec/recovery_action_client.h"
#include "ara/log/capture.h"
#include "ara/phm/phm_backend.h"
#include "ara/phm/phm_callback_client.h"
#include "support/wait_until.h"
#include "wardex/base/poll_loop.h"
#include "wardex/protocol.h"
#include "wardex/socket_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace ara {
namespace {

using namespace std::chrono_literals;
namespace io = wardex::io;
namespace protocol = wardex::protocol;
using exec::ApplicationClient;
using exec::Recovery_action_client;
using phm::Failure_source;
using phm::make_socket_failure_source;

class Fake_line_daemon {
public:
    using Reply = std::function<std::optional<std::string>(const std::string& line)>;

    // The socket file stays for the next daemon, which replaces it.
    explicit Fake_line_daemon(const std::string& path, Reply reply = {})
        : reply_(std::move(reply)), listening_(io::listen_unix(path)) {
        loop_.watch(listening_.get(), [this] { accept(); });
        loop_.start({}, {}, nullptr);
    }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool wait_for_lines(std::size_t count) const {
        return wardex::test::wait_until([&] { return lines().size() >= count; });
    }
    // Writes raw bytes to every connected client.
    void send_to_all(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& connection : connections_) io::write_all(connection.second->fd(), bytes);
    }

private:
    void accept() {
        std::lock_guard<std::mutex> lock(mutex_);
        while (auto fd = io::accept_connection(listening_.get())) {
            const int key = fd.get();
            connections_[key] = std::make_unique<io::Line_connection>(std::move(fd));
            loop_.watch(key, [this, key] { read(*connections_.at(key)); });
        }
    }
    void read(io::Line_connection& connection) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool open = connection.read_some();
        while (auto line = connection.next_line()) {
            lines_.push_back(*line);
            try {
                if (auto answer = reply_ ? reply_(*line) : std::nullopt) connection.send_line(*answer);
            } catch (const std::exception&) {  // the client is gone
            }
        }
        if (open) return;
        loop_.unwatch(connection.fd());
        connections_.erase(connection.fd());
    }

    const Reply reply_;
    io::Fd listening_;
    mutable std::mutex mutex_;
    std::map<int, std::unique_ptr<io::Line_connection>> connections_;
    std::vector<std::string> lines_;
    wardex::base::Poll_loop loop_;  // the first to go: its thread is joined before the rest
};

// A socket path of its own under the test's build folder, removed after the
// test (also when it listened by itself), and the log captured.
class Socket_backend : public ::testing::Test {
protected:
    ~Socket_backend() override { ::unlink(path_.c_str()); }
    const std::string path_ = std::string(WARDEX_TEST_SOCKET_DIR) + "/backend-" + std::to_string(getpid()) + ".sock";
    log::Capture capture_;
};

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
protocol::Exec_message request_of(const std::string& line) {
    std::string error;
    auto message = protocol::parse_exec_line(line, error);
    EXPECT_TRUE(message && message->id != 0) << line << ": " << error;
    return message.value_or(protocol::Exec_message{});
}
std::string plain(const std::string& line) {
    auto message = request_of(line);
    message.id = 0;
    return protocol::format(message);
}
std::optional<std::string> answer(const std::string& line, const std::string& text) {
    return "answer " + std::to_string(request_of(line).id) + " " + text;
}
std::optional<std::string> ok(const std::string& line) { return answer(line, "ok"); }

class ExecSocketBackend : public Socket_backend {
protected:
    std::shared_ptr<exec::Execution_backend> backend(std::chrono::milliseconds timeout = 2s) {
        return exec::make_socket_execution_backend(path_, "Wardex", timeout);
    }
};

// Identities count per client; a recovery request may take 2 s, a state
// report far less. Arguments that cannot go on one line are refused before
// anything is sent; a refusal carries EM's errno and text. After EM restarted
// a request goes over a fresh connection.
TEST_F(ExecSocketBackend, EachRequestCarriesItsIdentityAndDeadlineAndGetsItsOwnAnswerAlsoAfterARestart) {
    std::optional<Fake_line_daemon> daemon(std::in_place, path_, [](const std::string& line) {
        return plain(line) == "restart App1" ? answer(line, "error 1 not yours") : ok(line);
    });
    Recovery_action_client client(backend());
    ApplicationClient application(backend());
    const auto start_ns = static_cast<std::uint64_t>(
        std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch()).count());
    application.ReportApplicationState(exec::ApplicationState::kRunning);
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
    application.ReportApplicationState(exec::ApplicationState::kShuttingdown);
    std::vector<std::string> sent;  // identity and text of each line
    for (const auto& line : daemon->lines()) {
        sent.push_back(std::to_string(request_of(line).id) + " " + plain(line));
        const auto budget = request_of(line).deadline_ns - start_ns;
        EXPECT_TRUE(sent.back().find(" state ") == 1 ? budget < 1'000'000'000u : budget > 1'900'000'000u) << line;
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"1 state Wardex kRunning", "1 restart App1", "2 stop App with blanks",
                                              "3 reset-platform 5000", "2 state Wardex kShuttingdown"}));
    EXPECT_TRUE(capture_.texts().empty());
    daemon.emplace(path_, ok);
    client.restart_instance("App2");
    ASSERT_EQ(daemon->lines().size(), 1u);
    EXPECT_EQ(plain(daemon->lines()[0]), "restart App2");
}

// Lines besides the answer are dropped: the first of a wait is logged with
// its reason, the others counted. Each row has a socket (a limiter key) of its own.
TEST_F(ExecSocketBackend, LinesBesidesTheAnswerAreDroppedTheFirstLoggedTheOthersCounted) {
    const std::vector<std::pair<std::string, std::string>> rows{
        {"answer 1 ok", "late answer"}, {"answer 99 ok", "unsolicited answer"},
        {"ok", "answer without identity"}, {"maybe", "unknown message"}};
    std::vector<std::string> expected;
    for (const auto& [junk, reason] : rows) {
        const std::string path = path_ + std::to_string(expected.size());
        Fake_line_daemon daemon(path, [&j = junk](const std::string& line) {
            return request_of(line).id == 1 ? ok(line) : answer(line, "error 1 x")->insert(0, j + "\n" + j + "\n");
        });
        auto client = exec::make_socket_execution_backend(path, "Wardex", 2s);
        client->restart_instance("App1");
        EXPECT_EQ(error_of([&] { client->restart_instance("App1"); }), EPERM) << junk;  // not the late "ok"
        ::unlink(path.c_str());
        expected.insert(expected.end(), {"Ignored line from EM: " + junk + " " + reason,
                                         "Ignored 1 more line from EM while waiting for the answer to restart App1"});
    }
    EXPECT_EQ(capture_.texts(), expected);
}

// An EM that writes lines for ever instead of the answer: the request ends at its deadline.
TEST_F(ExecSocketBackend, AnEmThatNeverStopsWritingCannotStretchTheDeadline) {
    const auto listening = io::listen_unix(path_);
    auto client = backend(300ms);
    auto request = std::async(std::launch::async, [&] { return error_of([&] { client->restart_instance("App1"); }); });
    io::Fd em;
    while (!em) em = io::accept_connection(listening.get());
    const std::string junk(65536, '\n');  // empty lines, faster than the client reads them
    for (const auto cap = io::Clock::now() + 10s; request.wait_for(0s) != std::future_status::ready;) {
        ASSERT_LT(io::Clock::now(), cap) << "still waiting while EM writes";
        ::send(em.get(), junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    EXPECT_EQ(request.get(), ETIMEDOUT);
    ASSERT_EQ(capture_.texts().size(), 2u);  // the first line, then the count of the others
    EXPECT_GT(std::stoull(capture_.texts()[1].substr(std::string("Ignored ").size())), 100u) << capture_.texts()[1];
}

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

using PhmSocketBackend = Socket_backend;

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
    EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"Ignored line from PHM: bogus unknown message"}));
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
    phm::PhmCallbackClient client(make_socket_failure_source(path_, std::chrono::hours(1)));
    client.Stop();
    client.Run(0);  // returns at once
}

// Checkpoints to a PHM that never reads pile up only in a small queue; once
// it is full the checkpoint fails instead of waiting, and the next one goes
// over a fresh connection.
TEST_F(PhmSocketBackend, CheckpointToAPhmThatTakesNothingFailsInsteadOfWaiting) {
    const auto listening = io::listen_unix(path_);
    auto sink = phm::make_socket_checkpoint_sink(path_);
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
    while (io::accept_connection(listening.get())) ++connections;
    EXPECT_EQ(connections, 2);
}

}  // namespace
}  // namespace ara
