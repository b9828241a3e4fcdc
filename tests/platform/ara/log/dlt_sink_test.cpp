// The DLT sink through libdlt, in a helper process that logs through
// ara::log: its message as libdlt writes it for a daemon (here into a file,
// decoded with dlt-convert), and its local printing.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Runs a shell command to its end: its exit status, or -1.
int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the logging helper with its output in a file and no DLT daemon.
// libdlt's own exit handler trips ThreadSanitizer (libdlt is not
// instrumented), so a sanitized helper gets its suppressions.
int run_helper(const fs::path& dir, const std::string& arguments, const std::string& env = "") {
    return run("TSAN_OPTIONS=\"$TSAN_OPTIONS:suppressions=" WARDEX_TSAN_LIBDLT_SUPPRESSIONS "\" DLT_PIPE_DIR=" +
               quoted(dir / "run") + " " + env + " " DLT_LOG_HELPER " " + arguments + " > " +
               quoted(dir / "helper.out") + " 2>&1");
}

std::string read_file(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

fs::path fresh_directory(const std::string& name) {
    const fs::path dir = fs::path(WARDEX_TEST_WORK_DIR) / (name + "." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "run");
    return dir;
}

// A text, an 8-bit and a 16-bit number: the ids, the level, and the type info
// of each verbose argument (UTF-8 string, uint8, uint16).
TEST(DltSink, TypedMessageCarriesItsIdsLevelAndArgumentTypes) {
    const fs::path dir = fresh_directory("dlt_file");
    ASSERT_EQ(run_helper(dir, "file " + quoted(dir / "out.dlt")), 0) << read_file(dir / "helper.out");
    ASSERT_EQ(run(DLT_CONVERT_PROGRAM " -x " + quoted(dir / "out.dlt") + " > " + quoted(dir / "hex.txt") + " 2>&1"), 0);
    EXPECT_NE(read_file(dir / "hex.txt").find("ECU1 WDX- TEST log warn V 3 [00 82 00 00 0c 00 73 75 70 65 72 76 69 73 "
                                              "69 6f 6e 00 41 00 00 00 2a 42 00 00 00 b3 61]"),
              std::string::npos)
        << read_file(dir / "hex.txt");
}

// Printed locally (no daemon), messages of threads that log at the same time
// each come out as one whole line.
TEST(DltSink, ConcurrentLocalPrintingKeepsEveryLineWhole) {
    const fs::path dir = fresh_directory("dlt_local_print");
    const int status = run_helper(dir, "threads", "DLT_LOCAL_PRINT_MODE=FORCE_ON");
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
