#include "adaptive-sim/commands.h"
#include "adaptive-sim/someip_client.h"

#include <cstdio>
#include <cstdlib>

namespace adaptive_sim {

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"platform", "[--refuse <instance>]... [--only phm|exec]",
         "run the PHM and EM daemons (or one of them) until SIGINT or SIGTERM, one line per event",
         run_platform},
        {"phm-failure", "<callback name> [--count N] [--interval-ms M]",
         "deliver N supervision failures under the callback name", run_phm_failure},
        {"partition", "<host name | -> <configuration file>",
         "write the partition host name file (- removes it) and install the configuration",
         run_partition},
        {"bench-restart", "<callback name> <instance> [--count N] [--samples FILE]",
         "measure failure-to-restart latency through a running platform and Wardex; "
         "FILE receives each latency in microseconds",
         run_bench_restart},
        {"phm-load", "<callback name>... [--rate N] [--seconds S] [--seed K]",
         "deliver N failures a second for S seconds, each under one of the names picked at random; "
         "prints how many reached a client per name",
         run_phm_load},
        {"did-read", "", "read the measured values from the data identifier over SOME/IP", run_did_read},
        {"did-cancel", "", "send Cancel to the data identifier over SOME/IP", run_did_cancel},
        {"init-monitor", "<reason>", "call InitMonitor of the DTC monitor over SOME/IP", run_init_monitor},
        {"dem-listen", "", "subscribe to the DTC monitor's verdicts and print each until SIGINT or SIGTERM",
         run_dem_listen},
        {"diag-load", "[--clients C] [--rate N] [--init-rate M] [--seconds S] [--samples FILE]",
         "Read from C testers at N calls a second in all (0: each as soon as the last is answered) and "
         "InitMonitor at M a second, for S seconds; prints each distinct Read answer with how often it "
         "came; FILE receives each Read's round trip in microseconds",
         run_diag_load},
    };
    return list;
}

namespace {

void print_usage(FILE* to) {
    std::fprintf(to, "usage: adaptive-sim [--address <ip>] <command> [arguments]\n\n"
                     "--address: the loopback (or other) address of this process's SOME/IP side; by default\n"
                     "the platform uses %s and each tester the first free one from 127.0.0.10\n\ncommands:\n",
                 kPlatformAddress);
    for (const auto& command : commands()) {
        std::fprintf(to, "  %s %s\n      %s\n", command.name, command.usage, command.summary);
    }
}

}  // namespace

int dispatch(const Arguments& given) {
    Arguments arguments = given;
    if (arguments.size() >= 2 && arguments[0] == "--address") {
        chosen_address() = arguments[1];
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "help") {
        print_usage(arguments.empty() ? stderr : stdout);
        return arguments.empty() ? 2 : 0;
    }
    for (const auto& command : commands()) {
        if (arguments[0] != command.name) continue;
        try {
            return command.run(Arguments(arguments.begin() + 1, arguments.end()));
        } catch (const Usage_error& error) {
            std::fprintf(stderr, "adaptive-sim %s: %s\nusage: adaptive-sim %s %s\n", command.name,
                         error.text.c_str(), command.name, command.usage);
            return 2;
        }
    }
    std::fprintf(stderr, "adaptive-sim: unknown command %s\n", arguments[0].c_str());
    print_usage(stderr);
    return 2;
}

std::string take_option(Arguments& arguments, const std::string& name, const std::string& fallback) {
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        if (*it != name) continue;
        if (it + 1 == arguments.end()) throw Usage_error{name + " needs a value"};
        std::string value = *(it + 1);
        arguments.erase(it, it + 2);
        return value;
    }
    return fallback;
}

unsigned long take_number_option(Arguments& arguments, const std::string& name,
                                 unsigned long fallback) {
    const std::string text = take_option(arguments, name, "");
    if (text.empty()) return fallback;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || text[0] == '-') {
        throw Usage_error{name + " needs a number"};
    }
    return value;
}

std::vector<std::string> take_repeated_option(Arguments& arguments, const std::string& name) {
    std::vector<std::string> values;
    for (;;) {
        std::string value = take_option(arguments, name, "\n");
        if (value == "\n") return values;
        values.push_back(std::move(value));
    }
}

}  // namespace adaptive_sim
