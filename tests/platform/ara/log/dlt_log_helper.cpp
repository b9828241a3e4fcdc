// Logs through ara::log into DLT and exits; started by the DLT tests with
// DLT_PIPE_DIR pointing at no daemon. With the arguments "file <path>" it logs
// into that file as it would to a daemon; with the argument
// "threads" it logs 300 messages from each of 4 threads at once.
#include "ara/log/logging.h"

#include <dlt/dlt.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "file") == 0 && dlt_init_file(argv[2]) == DLT_RETURN_OK) {
        dlt_set_filesize_max(1u << 20);
    }
    ara::log::InitLogging("WDX", "Wardex", ara::log::LogLevel::kVerbose, ara::log::LogMode::kRemote, "");
    auto& logger = ara::log::CreateLogger("TEST", "dlt sink test");
    if (argc > 1 && std::strcmp(argv[1], "threads") == 0) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < 300; ++i) {
                    logger.LogWarn() << "thread" << static_cast<std::uint16_t>(t)
                                     << std::string(40, static_cast<char>('a' + t)) << static_cast<std::uint16_t>(i);
                }
            });
        }
        for (auto& thread : threads) thread.join();
        return 0;
    }
    logger.LogWarn() << "supervision" << std::uint8_t{42} << std::uint16_t{25011};
    return 0;
}
