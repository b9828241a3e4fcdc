// The commands that act on a running platform or prepare its files.
#include "adaptive-sim/commands.h"
#include "adaptive-sim/event_output.h"
#include "wardex/paths.h"
#include "wardex/protocol.h"
#include "wardex/socket_io.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace adaptive_sim {
namespace {

using wardex::protocol::Exec_message;
using wardex::protocol::Phm_message;

constexpr std::chrono::seconds kReplyTimeout{5};

std::string phm_socket() { return wardex::paths::run_dir() + "/phm.sock"; }
std::string exec_socket() { return wardex::paths::run_dir() + "/exec.sock"; }

std::string read_reply(wardex::io::Line_connection& connection, const char* daemon) {
    auto line = connection.read_line(kReplyTimeout);
    if (!line) throw std::runtime_error(std::string("no answer from ") + daemon);
    return *line;
}

// Sends one failure and returns the number of clients it reached.
std::uint32_t deliver_failure(wardex::io::Line_connection& phm, const std::string& name) {
    Phm_message failure;
    failure.kind = Phm_message::Kind::kFailure;
    failure.name = name;
    phm.send_line(wardex::protocol::format(failure));
    const std::string reply = read_reply(phm, "PHM");
    std::string error;
    const auto answer = wardex::protocol::parse_phm_line(reply, error);
    if (!answer || answer->kind != Phm_message::Kind::kDelivered) {
        throw std::runtime_error("unexpected answer from PHM: " + wardex::protocol::printable(reply));
    }
    return answer->count;
}

void write_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << content;
        if (!file.good()) throw std::runtime_error("cannot write " + temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot rename " + temporary + " to " + path);
    }
}

std::string directory_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

int run_phm_failure(const Arguments& arguments) {
    Arguments rest = arguments;
    const unsigned long count = take_number_option(rest, "--count", 1);
    const unsigned long interval_ms = take_number_option(rest, "--interval-ms", 0);
    if (rest.size() != 1) throw Usage_error{"needs exactly one callback name"};
    const std::string& name = rest[0];
    if (!wardex::protocol::valid_name(name)) throw Usage_error{"the callback name cannot be sent"};

    wardex::io::Line_connection phm(wardex::io::connect_unix(phm_socket()));
    std::uint32_t reached = 0;
    for (unsigned long i = 0; i < count; ++i) {
        if (i != 0 && interval_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        reached = deliver_failure(phm, name);
    }
    std::printf("phm-failure: %lu failure(s) under %s, each delivered to %u client(s)\n", count,
                name.c_str(), reached);
    return reached == 0 ? 3 : 0;
}

int run_partition(const Arguments& arguments) {
    if (arguments.size() != 2) throw Usage_error{"needs a host name and a configuration file"};
    const std::string& host = arguments[0];
    std::ifstream source(arguments[1], std::ios::binary);
    if (!source.is_open()) throw std::runtime_error("cannot read " + arguments[1]);
    std::ostringstream content;
    content << source.rdbuf();

    const bool undivided = host == "-";
    const std::string hostname_file = wardex::paths::in_sysroot("/var/run/adaptive/hostname");
    const std::string configuration =
        wardex::paths::in_sysroot("/etc/Wardex_InitialData") + (undivided ? "" : host) + ".json";
    wardex::io::make_directories(directory_of(hostname_file));
    wardex::io::make_directories(directory_of(configuration));
    write_file(configuration, content.str());
    if (undivided) {
        ::unlink(hostname_file.c_str());
    } else {
        write_file(hostname_file, host + "\n");
    }
    std::printf("partition: %s, configuration %s\n", undivided ? "undivided" : host.c_str(),
                configuration.c_str());
    return 0;
}

int run_bench_restart(const Arguments& arguments) {
    Arguments rest = arguments;
    const unsigned long count = take_number_option(rest, "--count", 1000);
    const std::string samples = take_option(rest, "--samples", "");
    if (rest.size() != 2 || count == 0) throw Usage_error{"needs a callback name and an instance"};
    const std::string& name = rest[0];
    const std::string expected = "restart " + rest[1];

    wardex::io::Line_connection exec(wardex::io::connect_unix(exec_socket()));
    Exec_message watch;
    watch.kind = Exec_message::Kind::kWatch;
    exec.send_line(wardex::protocol::format(watch));
    if (read_reply(exec, "EM") != "ok") throw std::runtime_error("EM refused to be watched");
    wardex::io::Line_connection phm(wardex::io::connect_unix(phm_socket()));

    // The EM daemon stamps each event with its monotonic receive time, so the
    // latency ends where the restart request arrives at EM.
    std::vector<double> latencies_us;
    latencies_us.reserve(count);
    for (unsigned long i = 0; i < count; ++i) {
        const long long sent = monotonic_ns();
        if (deliver_failure(phm, name) == 0) throw std::runtime_error("nobody listens to " + name);
        for (;;) {
            const std::string line = read_reply(exec, "EM");
            std::istringstream fields(line);
            std::string at;
            long long received = 0;
            fields >> at >> received;
            std::string event;
            std::getline(fields, event);
            if (!event.empty() && event[0] == ' ') event.erase(0, 1);
            if (at != "at" || event != expected) continue;
            latencies_us.push_back(static_cast<double>(received - sent) / 1000.0);
            break;
        }
    }
    if (!samples.empty()) write_samples(samples, latencies_us);
    std::sort(latencies_us.begin(), latencies_us.end());
    const auto quantile = [&latencies_us](double q) {
        const auto index = static_cast<std::size_t>(q * static_cast<double>(latencies_us.size() - 1) + 0.5);
        return latencies_us[index];
    };
    std::printf("bench-restart: %zu failures, latency from failure sent to restart at EM: "
                "p50 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n",
                latencies_us.size(), quantile(0.5), quantile(0.9), quantile(0.99),
                latencies_us.back());
    return 0;
}

int run_phm_load(const Arguments& arguments) {
    Arguments rest = arguments;
    const unsigned long rate = take_number_option(rest, "--rate", 1000);
    const unsigned long seconds = take_number_option(rest, "--seconds", 10);
    const unsigned long seed = take_number_option(rest, "--seed", 1);
    if (rest.empty()) throw Usage_error{"needs at least one callback name"};
    if (rate == 0 || rate > 1000000) throw Usage_error{"--rate takes 1 to 1000000"};
    for (const auto& name : rest) {
        if (!wardex::protocol::valid_name(name)) throw Usage_error{"a callback name cannot be sent"};
    }

    wardex::io::Line_connection phm(wardex::io::connect_unix(phm_socket()));
    std::vector<unsigned long> sent(rest.size(), 0);
    std::vector<unsigned long> reached(rest.size(), 0);
    std::minstd_rand pick(static_cast<std::minstd_rand::result_type>(seed == 0 ? 1 : seed));
    std::uniform_int_distribution<std::size_t> which(0, rest.size() - 1);

    // Each failure has its due time on a fixed grid, so a stall is caught up
    // afterwards and the rate over the whole run stays the one asked for.
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(1000000000LL / static_cast<long long>(rate));
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    unsigned long total = 0;
    for (;; ++total) {
        const auto due = start + period * static_cast<long long>(total);
        if (due >= end) break;
        if (Clock::now() < due) std::this_thread::sleep_until(due);
        const std::size_t index = which(pick);
        ++sent[index];
        reached[index] += deliver_failure(phm, rest[index]);
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();

    unsigned long deliveries = 0;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        std::printf("sent %lu reached %lu %s\n", sent[i], reached[i], rest[i].c_str());
        deliveries += reached[i];
    }
    std::printf("phm-load: %lu failures in %.1f s (%.0f a second), %lu deliveries\n", total, took,
                took > 0 ? static_cast<double>(total) / took : 0.0, deliveries);
    return 0;
}

}  // namespace adaptive_sim
