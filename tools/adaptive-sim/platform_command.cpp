// `adaptive-sim platform`: the platform's daemons in one poll loop until
// SIGINT or SIGTERM. Each daemon is a Platform_service; a new one is added to
// make_services().
#include "adaptive-sim/commands.h"
#include "adaptive-sim/exec_daemon.h"
#include "adaptive-sim/phm_daemon.h"
#include "adaptive-sim/state_manager.h"
#include "wardex/base/poll_loop.h"
#include "wardex/paths.h"
#include "wardex/socket_io.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <set>
#include <system_error>

#include <sys/signalfd.h>
#include <unistd.h>

namespace adaptive_sim {
namespace {

struct Platform_options {
    std::set<std::string> refused_instances;
    bool phm = true;
    bool exec = true;
};

std::vector<std::unique_ptr<Platform_service>> make_services(wardex::base::Poll_loop& loop,
                                                             const Platform_options& options) {
    const std::string run_dir = wardex::paths::run_dir();
    std::vector<std::unique_ptr<Platform_service>> services;
    if (options.phm) services.push_back(std::make_unique<Phm_daemon>(loop, run_dir + "/phm.sock"));
    if (options.exec) {
        services.push_back(std::make_unique<Exec_daemon>(loop, run_dir + "/exec.sock",
                                                         options.refused_instances));
    }
    // The state manager only runs with the whole platform: two platforms of
    // one daemon each would both take its port.
    if (options.phm && options.exec) services.push_back(std::make_unique<State_manager>());
    return services;
}

}  // namespace

int run_platform(const Arguments& arguments) {
    Arguments rest = arguments;
    Platform_options options;
    for (auto& instance : take_repeated_option(rest, "--refuse")) {
        options.refused_instances.insert(instance);
    }
    // One daemon alone lets the other be stopped and started on its own.
    const std::string only = take_option(rest, "--only", "");
    if (only == "phm") {
        options.exec = false;
    } else if (only == "exec") {
        options.phm = false;
    } else if (!only.empty()) {
        throw Usage_error{"--only takes phm or exec"};
    }
    if (!rest.empty()) throw Usage_error{"unexpected argument " + rest.front()};

    // The termination signals are read from a signalfd in the loop, so the
    // daemons end between two events and remove their sockets.
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &termination, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigprocmask");
    }
    wardex::io::Fd signals(::signalfd(-1, &termination, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals) throw std::system_error(errno, std::generic_category(), "signalfd");

    std::signal(SIGPIPE, SIG_IGN);
    wardex::io::make_directories(wardex::paths::run_dir());
    wardex::base::Poll_loop loop;
    auto services = make_services(loop, options);
    loop.watch(signals.get(), [&loop, &signals] {
        signalfd_siginfo info{};
        if (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            std::fprintf(stderr, "platform: signal %u, stopping\n", info.ssi_signo);
            loop.stop();
        }
    });
    std::fprintf(stderr, "platform: %s listening in %s\n",
                 options.phm && options.exec ? "PHM and EM" : options.phm ? "PHM" : "EM",
                 wardex::paths::run_dir().c_str());
    loop.run();
    services.clear();
    return 0;
}

}  // namespace adaptive_sim
