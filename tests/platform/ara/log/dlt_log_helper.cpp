// Logs one message through ara::log into DLT and exits; started by the DLT
// tests with DLT_PIPE_DIR pointing at a private daemon (or at none).
#include "ara/log/logging.h"

#include <cstdint>

int main() {
    ara::log::InitLogging("WDX", "Wardex", ara::log::LogLevel::kVerbose, ara::log::LogMode::kRemote,
                          "");
    ara::log::CreateLogger("TEST", "dlt sink test").LogWarn()
        << "supervision" << std::uint8_t{42} << std::uint16_t{25011};
    return 0;
}
