#include "adaptive-sim/event_output.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <stdexcept>

namespace adaptive_sim {

void print_event(const std::string& daemon, const std::string& text) {
    std::fprintf(stdout, "%s %s\n", daemon.c_str(), text.c_str());
}

void print_complaint(const std::string& daemon, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", daemon.c_str(), text.c_str());
}

long long monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void write_samples(const std::string& path, const std::vector<double>& values) {
    std::ofstream file(path, std::ios::trunc);
    for (const double value : values) file << value << '\n';
    if (!file.good()) throw std::runtime_error("cannot write " + path);
}

}  // namespace adaptive_sim
