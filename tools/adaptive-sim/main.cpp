// adaptive-sim: a simulated AUTOSAR Adaptive platform for running Wardex on a
// development machine. See `adaptive-sim help`.
#include "adaptive-sim/commands.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    // Events are read line by line from pipes and files as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return adaptive_sim::dispatch(adaptive_sim::Arguments(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "adaptive-sim: %s\n", error.what());
        return 1;
    }
}
