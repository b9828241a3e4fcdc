// The DLT sink against a real dlt-daemon: the daemon runs privately (its own
// FIFO directory, control socket and TCP port under the build tree) and is
// stopped by its process id. A helper process logs through ara::log; the
// message is read back with dlt-receive and decoded with dlt-convert.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Runs a shell command to its end: its exit status, or -1.
int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the logging helper with its output in a file. libdlt's own exit
// handler trips ThreadSanitizer (libdlt is not instrumented), so a sanitized
// helper gets its suppressions.
int run_helper(const fs::path& pipe_dir, const fs::path& output, const std::string& env = "",
               const std::string& arguments = "") {
    return run("TSAN_OPTIONS=\"$TSAN_OPTIONS:suppressions=" WARDEX_TSAN_LIBDLT_SUPPRESSIONS "\" DLT_PIPE_DIR=" +
               quoted(pipe_dir) + " " + env + " " DLT_LOG_HELPER " " + arguments + " > " + quoted(output) + " 2>&1");
}

// A program running until stop() or the end of the scope, its output in a
// file; stopped by its process id.
struct Background {
    Background(const std::string& command, const fs::path& output) {
        const std::string script = "exec " + command + " > " + quoted(output) + " 2>&1";
        const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid = -1;
    }
    ~Background() { stop(); }
    void stop() {
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
        pid = -1;
    }
    pid_t pid = -1;
};

std::string read_file(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// A loopback port nobody listens on right now.
int free_port() {
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
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
    fs::create_directories(dir / "run");
    return dir;
}

TEST(DltSink, TypedMessageReachesAPrivateDaemonWithItsIdsAndLevel) {
    const fs::path dir = fresh_directory("dlt_daemon");
    const fs::path run_dir = dir / "run";
    const int port = free_port();
    ASSERT_GT(port, 0);
    std::ofstream(dir / "dlt.conf") << "ECUId = ECU1\nSendContextRegistration = 1\nLoggingMode = 0\nLoggingLevel = 6\n"
                                    << "ControlSocketPath = " << (dir / "ctrl.sock").string() << "\n"
                                    << "PersistanceStoragePath = " << dir.string() << "\n"
                                    << "UDPConnectionSetup = 0\nBindAddress = ::1\n";

    Background daemon(DLT_DAEMON_PROGRAM " -c " + quoted(dir / "dlt.conf") + " -t " + quoted(run_dir) + " -p " +
                          std::to_string(port),
                      dir / "daemon.out");
    ASSERT_GT(daemon.pid, 0);
    ASSERT_TRUE(eventually([&] { return fs::exists(run_dir / "dlt"); })) << read_file(dir / "daemon.out");

    // A text, an 8-bit and a 16-bit number logged through ara::log reach a client.
    ASSERT_EQ(run_helper(run_dir, dir / "helper.out"), 0) << read_file(dir / "helper.out");

    Background receiver(DLT_RECEIVE_PROGRAM " -o " + quoted(dir / "out.dlt") + " -p " + std::to_string(port) + " ::1",
                        dir / "receive.out");
    ASSERT_GT(receiver.pid, 0);
    // Verbose arguments carry their type info: UTF-8 string, uint8, uint16.
    const std::string expected = "ECU1 WDX- TEST log warn V 3 [00 82 00 00 0c 00 73 75 70 65 72 76 69 73 69 6f 6e 00 "
                                 "41 00 00 00 2a 42 00 00 00 b3 61]";
    const bool arrived = eventually([&] {
        run(DLT_CONVERT_PROGRAM " -x " + quoted(dir / "out.dlt") + " > " + quoted(dir / "hex.txt") + " 2>&1");
        return read_file(dir / "hex.txt").find(expected) != std::string::npos;
    });
    receiver.stop();
    daemon.stop();
    EXPECT_TRUE(arrived) << read_file(dir / "hex.txt") << read_file(dir / "daemon.out");
}

// Printed locally (no daemon), messages of threads that log at the same time
// each come out as one whole line.
TEST(DltSink, ConcurrentLocalPrintingKeepsEveryLineWhole) {
    const fs::path dir = fresh_directory("dlt_local_print");
    const int status = run_helper(dir / "run", dir / "helper.out", "DLT_LOCAL_PRINT_MODE=FORCE_ON", "threads");
    const std::string output = read_file(dir / "helper.out");
    ASSERT_EQ(status, 0) << output.substr(0, 4000);
    std::set<std::string> expected, seen;
    for (int thread = 0; thread < 4; ++thread) {
        const std::string letters(40, static_cast<char>('a' + thread));
        for (int i = 0; i < 300; ++i) {
            expected.insert("[thread " + std::to_string(thread) + " " + letters + " " + std::to_string(i) + "]");
        }
    }
    const std::string header = "ECU1 WDX- TEST log warn V 4 ";
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(header);
        if (at == std::string::npos) continue;
        EXPECT_TRUE(seen.insert(line.substr(at + header.size())).second) << "twice: " << line;
    }
    EXPECT_EQ(seen, expected);
}

}  // namespace
