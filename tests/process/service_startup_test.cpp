// Start-up of the services in the real process: the data identifier is
// offered also when the configuration cannot be read, and the DTC monitor
// announces itself before the callbacks are listened for when a reaction
// names "DTC". The process logs to the console (libdlt's local print mode);
// the test reads its output through a pipe and ends it with SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path sysroot = WARDEX_SYSROOT_DIR;
const fs::path configuration = sysroot / "etc" / "Wardex_InitialData.json";
const fs::path host_name_file = sysroot / "var" / "run" / "adaptive" / "hostname";

const std::string data_identifier_offered =
    R"({"1_incident":{"1_id":"Offer_service","2_service_id":{"1_id":"Service_id",)"
    R"("string":"orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets"},)"
    R"("3_instance_id":{"1_id":"Instance_id","2_string":"1"}}})";
const std::string dtc_monitor_service =
    R"("2_service_id":{"1_id":"Service_id",)"
    R"("string":"rk::dm::dem::DiagnosticMonitor"},"3_instance_id":{"1_id":"Instance_id","2_string":"479232"}}})";
const std::string dtc_monitor_offered = R"({"1_incident":{"1_id":"Offer_service",)" + dtc_monitor_service;
const std::string dtc_monitor_withdrawn = R"({"1_incident":{"1_id":"Stop_offer_service",)" + dtc_monitor_service;

// One run of the wardex executable with its console output collected.
class Wardex_process {
public:
    Wardex_process() {
        int output[2];
        if (::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
        output_fd_ = output[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
        ::setenv("DLT_LOCAL_PRINT_MODE", "FORCE_ON", 1);
        std::string path = WARDEX_EXECUTABLE;
        char* argv[] = {path.data(), nullptr};
        const int failed = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(output[1]);
        if (failed != 0) throw std::runtime_error("cannot start " + path);
    }

    ~Wardex_process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(output_fd_);
    }

    // Reads output until the text has appeared; false when the process ended or time ran out first.
    bool wait_for(const std::string& text, std::chrono::seconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // SIGTERM, then the rest of the output and the exit code.
    int terminate() {
        ::kill(pid_, SIGTERM);
        while (read_some(20000)) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& output() const { return output_; }

private:
    bool read_some(int timeout_ms) {
        pollfd fd{output_fd_, POLLIN, 0};
        if (::poll(&fd, 1, timeout_ms) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
        if (n <= 0) return false;
        output_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_{-1};
    int output_fd_{-1};
    std::string output_;
};

void write_configuration(const std::string& reaction) {
    fs::create_directories(configuration.parent_path());
    std::ofstream(configuration) << R"({"DIDs":[{"Apps":[{"appInstanceId":"cam","counterHealingTimeMin":1,)"
                                    R"("SWID":"0x12","GID":1,"MesswertID":"MW","numberOfAllowedErrors":2,)"
                                    R"("callbackErrorHandling":["DLT"],"callbackLimitErrorHandling":[")"
                                 << reaction << R"("],"callbackNames":["cam.fail"]}]}]})";
}

std::size_t position(const std::string& output, const std::string& text) {
    const auto found = output.find(text);
    EXPECT_NE(found, std::string::npos) << text;
    return found;
}

// Runs wardex until the text has appeared, ends it with SIGTERM and gives its output.
std::string run_until(const std::string& text) {
    Wardex_process wardex;
    EXPECT_TRUE(wardex.wait_for(text)) << wardex.output();
    EXPECT_EQ(wardex.terminate(), 0);
    return wardex.output();
}

// One test, so that no two runs share the sysroot's files at once.
TEST(ServiceStartUp, DataIdentifierAlwaysOfferedAndDtcMonitorOnlyWhenConfigured) {
    fs::remove(host_name_file);

    // Given no configuration file at all
    fs::remove(configuration);
    auto out = run_until("Error importing from JSON file.");
    EXPECT_LT(position(out, data_identifier_offered), position(out, "Failed to open JSON file"));
    EXPECT_EQ(out.find(dtc_monitor_offered), std::string::npos);
    // Withdrawn, then destroyed, on the way out.
    EXPECT_LT(position(out, R"({"1_incident":{"1_id":"Stop_offer_service")"),
              position(out, "~DataIdentifier_NumberofECUResetsSkeletonImpl"));

    // Given a configuration whose limit reaction is "DTC"
    write_configuration("DTC");
    out = run_until("Listening for Callbacks...");
    const auto offered = position(out, dtc_monitor_offered);
    const auto announced =
        position(out, "Offering Service for DTC: InitMonitorReason: 0, countFailed: 0, countPassed: 0");
    EXPECT_LT(position(out, data_identifier_offered), offered);
    EXPECT_LT(offered, announced);
    EXPECT_LT(announced, position(out, "Listening for Callbacks..."));
    // Withdrawn and destroyed after main has returned, while logging still works.
    EXPECT_LT(position(out, "~DataIdentifier_NumberofECUResetsSkeletonImpl"), position(out, dtc_monitor_withdrawn));
    EXPECT_LT(position(out, dtc_monitor_withdrawn), position(out, "~DiagnosticMonitor"));

    // Given a configuration without "DTC"
    write_configuration("RestartApplication");
    out = run_until("Listening for Callbacks...");
    EXPECT_EQ(out.find("Offering Service for DTC"), std::string::npos);
    EXPECT_EQ(out.find(dtc_monitor_offered), std::string::npos);
    fs::remove(configuration);
}

}  // namespace
