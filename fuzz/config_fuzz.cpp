// Arbitrary bytes as a configuration file: the loader must answer true or
// false, never crash, and register only applications it fully read.
#include "ConfigurationLoader.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

namespace {

class Counting_target final : public ConfigurationTarget {
public:
    void setHostName(const std::string&) override {}
    void registerApplication(ApplicationConfiguration application) override {
        if (application.callbackErrorHandling.size() > 1000000) __builtin_trap();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The loader reads a file; keep it in memory-backed /dev/shm where there is
    // one, since a disk write per input costs more than the parsing.
    static const std::string base =
        std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/fuzz_config_" +
        std::to_string(::getpid()) + "_";
    FILE* file = std::fopen((base + ".json").c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    Counting_target target;
    readConfigurationFromJsonFile(base + "no-hostname", base, target);
    ::unlink((base + ".json").c_str());
    return 0;
}
