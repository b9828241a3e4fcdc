// The DLT sink against a real dlt-daemon: the daemon runs privately (its own
// FIFO directory, control socket and TCP port under the build tree) and is
// stopped by its process id. A helper process logs through ara::log; the
// message is read back with dlt-receive and decoded with dlt-convert.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child process started with extra environment entries and its output in a file.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
          const fs::path& output) {
        // Entries first win. libdlt's own exit handler trips ThreadSanitizer
        // (libdlt is not instrumented), so a sanitized helper gets its suppressions.
        std::vector<std::string> env_strings(extra_env);
        const char* tsan_options = std::getenv("TSAN_OPTIONS");
        env_strings.push_back(std::string("TSAN_OPTIONS=") +
                              (tsan_options != nullptr ? tsan_options : "") +
                              ":suppressions=" WARDEX_TSAN_LIBDLT_SUPPRESSIONS);
        for (char** entry = environ; *entry != nullptr; ++entry) env_strings.emplace_back(*entry);
        std::vector<char*> env;
        for (auto& text : env_strings) env.push_back(text.data());
        env.push_back(nullptr);
        std::vector<std::string> args(argv);
        std::vector<char*> arg_pointers;
        for (auto& text : args) arg_pointers.push_back(text.data());
        arg_pointers.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int rc = posix_spawn(&pid_, arg_pointers[0], &actions, nullptr, arg_pointers.data(),
                                   env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) pid_ = -1;
    }

    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    // Waits for the child to end by itself; false on time-out.
    bool wait_exit(std::chrono::milliseconds timeout, int& status) {
        const auto deadline = Clock::now() + timeout;
        while (pid_ > 0) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return true;
            }
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        if (!wait_exit(5s, status)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A loopback port nobody listens on right now.
int free_port() {
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = 0;
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin6_port);
    }
    close(fd);
    return port;
}

fs::path fresh_directory(const std::string& name) {
    const fs::path dir = fs::path(WARDEX_TEST_WORK_DIR) / (name + "." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string line_with(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(needle) != std::string::npos) return line;
    }
    return {};
}

constexpr char kMessageHeader[] = "ECU1 WDX- TEST log warn V 3";
constexpr char kThreadsHeader[] = "ECU1 WDX- TEST log warn V 4 ";

TEST(DltSink, TypedMessageReachesAPrivateDaemonWithItsIdsAndLevel) {
    const fs::path dir = fresh_directory("dlt_daemon");
    const fs::path run_dir = dir / "run";
    fs::create_directories(run_dir);
    const int port = free_port();
    ASSERT_GT(port, 0);
    {
        std::ofstream conf(dir / "dlt.conf");
        conf << "ECUId = ECU1\n"
             << "SendContextRegistration = 1\n"
             << "LoggingMode = 0\nLoggingLevel = 6\n"
             << "ControlSocketPath = " << (dir / "ctrl.sock").string() << "\n"
             << "PersistanceStoragePath = " << dir.string() << "\n"
             << "UDPConnectionSetup = 0\n"
             << "BindAddress = ::1\n";
    }

    // Given a daemon of our own
    Child daemon({DLT_DAEMON_PROGRAM, "-c", (dir / "dlt.conf").string(), "-t", run_dir.string(),
                  "-p", std::to_string(port)},
                 {}, dir / "daemon.out");
    ASSERT_TRUE(daemon.started());
    ASSERT_TRUE(eventually([&] { return fs::exists(run_dir / "dlt"); }))
        << read_file(dir / "daemon.out");

    // When a process logs a text, an 8-bit and a 16-bit number through ara::log
    Child helper({DLT_LOG_HELPER}, {"DLT_PIPE_DIR=" + run_dir.string()}, dir / "helper.out");
    int status = -1;
    ASSERT_TRUE(helper.wait_exit(30s, status));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(dir / "helper.out");

    // Then the daemon hands it to a client
    Child receiver({DLT_RECEIVE_PROGRAM, "-o", (dir / "out.dlt").string(), "-p",
                    std::to_string(port), "::1"},
                   {}, dir / "receive.out");
    ASSERT_TRUE(receiver.started());
    std::string ascii;
    const bool arrived = eventually([&] {
        Child convert({DLT_CONVERT_PROGRAM, "-a", (dir / "out.dlt").string()}, {},
                      dir / "ascii.txt");
        int convert_status = 0;
        if (!convert.wait_exit(10s, convert_status)) return false;
        ascii = read_file(dir / "ascii.txt");
        return ascii.find(kMessageHeader) != std::string::npos;
    });
    receiver.stop();
    daemon.stop();
    ASSERT_TRUE(arrived) << ascii << read_file(dir / "daemon.out");

    EXPECT_NE(line_with(ascii, kMessageHeader).find("[supervision 42 25011]"), std::string::npos)
        << ascii;

    // Verbose arguments carry their type info: UTF-8 string, uint8, uint16.
    Child convert({DLT_CONVERT_PROGRAM, "-x", (dir / "out.dlt").string()}, {}, dir / "hex.txt");
    ASSERT_TRUE(convert.wait_exit(10s, status));
    const std::string hex_line = line_with(read_file(dir / "hex.txt"), kMessageHeader);
    EXPECT_NE(hex_line.find("[00 82 00 00 0c 00 73 75 70 65 72 76 69 73 69 6f 6e 00 "
                            "41 00 00 00 2a 42 00 00 00 b3 61]"),
              std::string::npos)
        << hex_line;
}

// With no daemon, libdlt's exit handler would wait for its buffered messages;
// the sink keeps that wait short, also when libdlt cannot create its FIFO
// directory at all.
TEST(DltSink, ProcessThatLoggedWithoutADaemonExitsPromptly) {
    const fs::path dir = fresh_directory("dlt_no_daemon");
    const fs::path empty_run_dir = dir / "run";
    fs::create_directories(empty_run_dir);
    for (const fs::path& pipe_dir : {empty_run_dir, dir / "missing"}) {
        const auto start = Clock::now();
        Child helper({DLT_LOG_HELPER}, {"DLT_PIPE_DIR=" + pipe_dir.string()}, dir / "helper.out");
        ASSERT_TRUE(helper.started());
        int status = -1;
        const bool ended = helper.wait_exit(30s, status);
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        ASSERT_TRUE(ended);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::cout << "exit without daemon (" << pipe_dir.filename().string()
                  << "): " << elapsed.count() << " ms\n";
        RecordProperty("exit_ms_" + pipe_dir.filename().string(),
                       static_cast<int>(elapsed.count()));
        EXPECT_LT(elapsed.count(), 3000) << "ms, pipe directory " << pipe_dir;
    }
}

// Printed locally (no daemon), messages of threads that log at the same time
// each come out as one whole line.
TEST(DltSink, ConcurrentLocalPrintingKeepsEveryLineWhole) {
    const fs::path dir = fresh_directory("dlt_local_print");
    const fs::path empty_run_dir = dir / "run";
    fs::create_directories(empty_run_dir);
    Child helper({DLT_LOG_HELPER, "threads"},
                 {"DLT_PIPE_DIR=" + empty_run_dir.string(), "DLT_LOCAL_PRINT_MODE=FORCE_ON"},
                 dir / "helper.out");
    int status = -1;
    ASSERT_TRUE(helper.wait_exit(60s, status));
    const std::string output = read_file(dir / "helper.out");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output.substr(0, 4000);

    std::set<std::string> seen;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const auto header = line.find(kThreadsHeader);
        if (header == std::string::npos) continue;
        const std::string arguments = line.substr(header + std::strlen(kThreadsHeader));
        std::istringstream fields(arguments);
        std::string word, letters, index;
        int thread = -1;
        fields >> word >> thread >> letters >> index;
        ASSERT_EQ(word, "[thread") << line;
        ASSERT_TRUE(thread >= 0 && thread < 4) << line;
        ASSERT_EQ(letters, std::string(40, static_cast<char>('a' + thread))) << line;
        ASSERT_EQ(arguments.back(), ']') << line;
        ASSERT_EQ(arguments, "[thread " + std::to_string(thread) + " " + letters + " " +
                                 index.substr(0, index.size() - 1) + "]")
            << line;
        EXPECT_TRUE(seen.insert(arguments).second) << "twice: " << line;
    }
    EXPECT_EQ(seen.size(), 4u * 300u);
}

}  // namespace
