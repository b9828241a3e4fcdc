// The commands of adaptive-sim. A command is a name, a one-line usage and a
// function of its arguments returning the exit code; commands.cpp lists them.
#pragma once

#include <string>
#include <vector>

namespace adaptive_sim {

using Arguments = std::vector<std::string>;

struct Command {
    const char* name;
    const char* usage;    // arguments, shown after the name
    const char* summary;  // what it does
    int (*run)(const Arguments& arguments);
};

const std::vector<Command>& commands();

// Runs the command named by arguments[0]; prints the usage on a wrong call.
int dispatch(const Arguments& arguments);

// Thrown by a command for a wrong call; dispatch prints its usage.
struct Usage_error {
    std::string text;
};

// Takes "--name value" out of arguments; fallback when absent.
std::string take_option(Arguments& arguments, const std::string& name, const std::string& fallback);
unsigned long take_number_option(Arguments& arguments, const std::string& name, unsigned long fallback);
// Takes every "--name value" out of arguments.
std::vector<std::string> take_repeated_option(Arguments& arguments, const std::string& name);

int run_platform(const Arguments& arguments);
int run_phm_failure(const Arguments& arguments);
int run_partition(const Arguments& arguments);
int run_bench_restart(const Arguments& arguments);
int run_phm_load(const Arguments& arguments);
int run_did_read(const Arguments& arguments);
int run_did_cancel(const Arguments& arguments);
int run_init_monitor(const Arguments& arguments);
int run_dem_listen(const Arguments& arguments);
int run_diag_load(const Arguments& arguments);

}  // namespace adaptive_sim
