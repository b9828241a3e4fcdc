// The commands that talk SOME/IP to a running Wardex: the diagnostic
// tester's Read and Cancel of the data identifier, and the diagnostic event
// manager's InitMonitor and its subscription to the monitor's verdicts.
#include "adaptive-sim/commands.h"
#include "adaptive-sim/event_output.h"
#include "adaptive-sim/someip_client.h"

#include "orbis/services/diag/d_0401/dataidentifier_numberofecuresets_common.h"
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/serializer.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace adaptive_sim {

using rk::com::runtime::someip::Deployment;
using rk::com::runtime::someip::Udp_transport;
using Bytes = std::vector<std::uint8_t>;

namespace {

const char* const kDataIdentifier = "orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets";
const char* const kDiagnosticMonitor = "rk::dm::dem::DiagnosticMonitor";

// A tester decodes the answer as the interface defines it.
using Read_output = orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets::Read::Output;

Bytes empty_meta_information() {
    auto bytes = std::make_shared<Bytes>();
    rk::com::someip::serialization::Serializer(bytes).serialize(std::map<std::string, std::string>{});
    return *bytes;
}

int report_failure(const char* what, const Call_result& result) {
    std::fprintf(stderr, "%s failed: return code 0x%02X%s%s\n", what, result.code,
                 result.payload.empty() ? "" : ", data ", hex_bytes(result.payload).c_str());
    return 1;
}

}  // namespace

int run_did_read(const Arguments& arguments) {
    if (!arguments.empty()) throw Usage_error{"unexpected argument " + arguments.front()};
    const auto transport = tester_transport();
    const auto result = call(*transport, kDataIdentifier, "1", 1, empty_meta_information());
    if (result.code != 0) return report_failure("Read", result);
    Read_output output;
    try {
        rk::com::someip::serialization::Deserializer deserializer(result.payload);
        deserializer.deserialize(output);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Read answer cannot be decoded (%s): %s\n", error.what(), hex_bytes(result.payload).c_str());
        return 1;
    }
    std::printf("count %u data%s%s\n", output.count[0], output.data.empty() ? "" : " ", hex_bytes(output.data).c_str());
    return 0;
}

int run_did_cancel(const Arguments& arguments) {
    if (!arguments.empty()) throw Usage_error{"unexpected argument " + arguments.front()};
    const auto transport = tester_transport();
    const auto result = call(*transport, kDataIdentifier, "1", 0, empty_meta_information());
    if (result.code != 0) return report_failure("Cancel", result);
    std::printf("cancelled\n");
    return 0;
}

int run_init_monitor(const Arguments& arguments) {
    if (arguments.size() != 1) throw Usage_error{"needs the reason"};
    char* end = nullptr;
    const unsigned long reason = std::strtoul(arguments[0].c_str(), &end, 0);
    if (end == arguments[0].c_str() || *end != '\0' || reason > 0xFF || arguments[0][0] == '-') {
        throw Usage_error{"the reason is a number 0…255"};
    }
    const auto transport = tester_transport();
    const auto result = call(*transport, kDiagnosticMonitor, "479232", 0, Bytes{static_cast<std::uint8_t>(reason)});
    if (result.code != 0) return report_failure("InitMonitor", result);
    std::printf("monitor initialised\n");
    return 0;
}

namespace {

struct Load_tally {
    std::map<std::pair<std::uint8_t, Bytes>, unsigned long> answers;
    std::map<std::uint8_t, unsigned long> failed_codes;
    unsigned long undecodable = 0;
    unsigned long calls = 0;
};

// Calls at `per_second` on a grid of due times until `end`, one call at a
// time; with 0 a second, each call as soon as the last one has returned.
template <typename Call>
void paced(double per_second, std::chrono::steady_clock::time_point end, Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    if (per_second <= 0) {
        while (std::chrono::steady_clock::now() < end) call();
        return;
    }
    const auto period = std::chrono::nanoseconds(static_cast<long long>(1e9 / per_second));
    for (long long i = 0;; ++i) {
        const auto due = start + period * i;
        if (due >= end) return;
        if (std::chrono::steady_clock::now() < due) std::this_thread::sleep_until(due);
        call();
    }
}

// One Read client: calls the data identifier's Read at `per_second` until
// `end` and tallies the answers; keeps each round trip when `round_trips_us`
// is given.
void call_reads(Udp_transport& transport, const Bytes& request, double per_second,
                std::chrono::steady_clock::time_point end, Load_tally& tally, std::vector<double>* round_trips_us) {
    paced(per_second, end, [&] {
        ++tally.calls;
        const long long sent = monotonic_ns();
        const auto result = call(transport, kDataIdentifier, "1", 1, request);
        if (round_trips_us != nullptr) round_trips_us->push_back(static_cast<double>(monotonic_ns() - sent) / 1000.0);
        if (result.code != 0) {
            ++tally.failed_codes[result.code];
            return;
        }
        Read_output output;
        try {
            rk::com::someip::serialization::Deserializer deserializer(result.payload);
            deserializer.deserialize(output);
        } catch (const std::exception&) {
            ++tally.undecodable;
            return;
        }
        ++tally.answers[{output.count[0], output.data}];
    });
}

// The InitMonitor caller: cycles the reason through 0, 1 and 2.
void call_init_monitors(Udp_transport& transport, double per_second, std::chrono::steady_clock::time_point end,
                        Load_tally& tally) {
    std::uint8_t reason = 0;
    paced(per_second, end, [&] {
        ++tally.calls;
        const auto result = call(transport, kDiagnosticMonitor, "479232", 0, Bytes{reason});
        reason = static_cast<std::uint8_t>((reason + 1) % 3);
        if (result.code != 0) ++tally.failed_codes[result.code];
    });
}

// The first `clients` tallies are the Read clients'; they add up to one.
Load_tally sum_read_tallies(const std::vector<Load_tally>& tallies, unsigned long clients) {
    Load_tally reads;
    for (unsigned long i = 0; i < clients; ++i) {
        reads.calls += tallies[i].calls;
        reads.undecodable += tallies[i].undecodable;
        for (const auto& entry : tallies[i].answers) reads.answers[entry.first] += entry.second;
        for (const auto& entry : tallies[i].failed_codes) reads.failed_codes[entry.first] += entry.second;
    }
    return reads;
}

// Prints each distinct answer and each failure of the Reads; returns how many
// were answered.
unsigned long print_read_outcomes(const Load_tally& reads) {
    unsigned long answered = 0;
    for (const auto& entry : reads.answers) {
        answered += entry.second;
        std::printf("answer %lu count %u data%s%s\n", entry.second, entry.first.first,
                    entry.first.second.empty() ? "" : " ", hex_bytes(entry.first.second).c_str());
    }
    for (const auto& entry : reads.failed_codes) std::printf("read-failed %lu code 0x%02X\n", entry.second, entry.first);
    if (reads.undecodable != 0) std::printf("read-undecodable %lu\n", reads.undecodable);
    return answered;
}

// Prints each failure code of the InitMonitor calls; returns how many failed.
unsigned long print_init_failures(const Load_tally& inits) {
    unsigned long init_failed = 0;
    for (const auto& entry : inits.failed_codes) {
        init_failed += entry.second;
        std::printf("init-failed %lu code 0x%02X\n", entry.second, entry.first);
    }
    return init_failed;
}

}  // namespace

int run_diag_load(const Arguments& arguments) {
    Arguments rest = arguments;
    const unsigned long clients = take_number_option(rest, "--clients", 4);
    const unsigned long rate = take_number_option(rest, "--rate", 1000);
    const unsigned long init_rate = take_number_option(rest, "--init-rate", 10);
    const unsigned long seconds = take_number_option(rest, "--seconds", 10);
    const std::string samples = take_option(rest, "--samples", "");
    if (!rest.empty()) throw Usage_error{"unexpected argument " + rest.front()};
    if (clients == 0 || clients > 64) throw Usage_error{"needs 1 to 64 clients"};

    // Every client is a transport of its own: its own socket and session ids.
    std::vector<std::unique_ptr<Udp_transport>> transports;
    for (unsigned long i = 0; i <= clients; ++i) transports.push_back(tester_transport());
    const Bytes request = empty_meta_information();
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);

    std::vector<Load_tally> tallies(clients + 1);
    std::vector<std::vector<double>> round_trips_us(clients);
    std::vector<std::thread> threads;
    for (unsigned long i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            call_reads(*transports[i], request, static_cast<double>(rate) / static_cast<double>(clients), end,
                       tallies[i], samples.empty() ? nullptr : &round_trips_us[i]);
        });
    }
    if (init_rate != 0) {
        threads.emplace_back(
            [&] { call_init_monitors(*transports[clients], static_cast<double>(init_rate), end, tallies[clients]); });
    }
    for (auto& thread : threads) thread.join();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!samples.empty()) {
        std::vector<double> all;
        for (const auto& mine : round_trips_us) all.insert(all.end(), mine.begin(), mine.end());
        write_samples(samples, all);
    }

    const Load_tally reads = sum_read_tallies(tallies, clients);
    const unsigned long answered = print_read_outcomes(reads);
    const Load_tally& inits = tallies[clients];
    const unsigned long init_failed = print_init_failures(inits);
    std::printf("diag-load: %lu Read calls in %.1f s (%.0f a second) from %lu clients, %lu answered; "
                "%lu InitMonitor calls, %lu answered\n",
                reads.calls, took, took > 0 ? static_cast<double>(reads.calls) / took : 0.0, clients, answered,
                inits.calls, inits.calls - init_failed);
    return answered == reads.calls && init_failed == 0 ? 0 : 1;
}

int run_dem_listen(const Arguments& arguments) {
    if (!arguments.empty()) throw Usage_error{"unexpected argument " + arguments.front()};
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    // Blocked before the transport starts its threads, so they inherit it.
    if (sigprocmask(SIG_BLOCK, &termination, nullptr) != 0) return 1;
    const auto listener = tester_transport();
    Udp_transport& transport = *listener;
    const rk::com::cpp_binding::Service_info monitor{tq::com::runtime::Service_id(kDiagnosticMonitor),
                                                     tq::com::runtime::Instance_id("479232")};
    transport.subscribe(monitor, 0, [](const tq::com::runtime::Serialized_payload& payload) {
        const auto bytes = payload.payload();
        if (bytes.size() != 1) {
            print_complaint("dem", "MonitorAction of " + std::to_string(bytes.size()) + " bytes: " + hex_bytes(bytes));
        } else if (bytes[0] == 0) {
            print_event("dem", "monitor-action kPassed");
        } else if (bytes[0] == 1) {
            print_event("dem", "monitor-action kFailed");
        } else {
            print_event("dem", "monitor-action " + std::to_string(bytes[0]));
        }
    });
    // Asks for the monitor at once rather than waiting for its next offer.
    transport.find(monitor.service_id(), monitor.instance_id());
    std::fprintf(stderr, "dem: listening for MonitorAction\n");
    int signal = 0;
    sigwait(&termination, &signal);
    return 0;
}

std::string& chosen_address() {
    static std::string address;
    return address;
}

Deployment sim_deployment(const std::string& unicast) {
    auto deployment = rk::com::runtime::someip::process_deployment("");
    deployment.client_id = kTesterClientId;
    deployment.unicast = unicast;
    return deployment;
}

std::unique_ptr<Udp_transport> platform_transport() {
    return std::make_unique<Udp_transport>(sim_deployment(chosen_address().empty() ? kPlatformAddress : chosen_address()));
}

std::unique_ptr<Udp_transport> tester_transport() {
    if (!chosen_address().empty()) return std::make_unique<Udp_transport>(sim_deployment(chosen_address()));
    for (int host = 10;; ++host) {
        try {
            return std::make_unique<Udp_transport>(sim_deployment("127.0.0." + std::to_string(host)));
        } catch (const std::system_error& error) {
            if (error.code().value() != EADDRINUSE || host >= 250) throw;
        }
    }
}

Call_result call(Udp_transport& transport, const std::string& interface, const std::string& instance,
                 std::uint16_t method_id, Bytes request) {
    using tq::com::runtime::Serialized_payload;
    const rk::com::cpp_binding::Service_info service{tq::com::runtime::Service_id(interface),
                                                     tq::com::runtime::Instance_id(instance)};
    std::mutex mutex;
    std::condition_variable done;
    std::optional<Call_result> result;
    bool offered = false;
    transport.set_availability_handler([&](const rk::com::cpp_binding::Service_info& which, bool available) {
        std::lock_guard<std::mutex> lock(mutex);
        if (which == service) offered = available;
        done.notify_all();
    });
    {
        // find asks the others for the instance while it is not known.
        const auto until = std::chrono::steady_clock::now() + transport.deployment().call_timeout;
        std::unique_lock<std::mutex> lock(mutex);
        while (!offered && std::chrono::steady_clock::now() < until) {
            lock.unlock();
            const bool found = !transport.find(service.service_id(), service.instance_id()).empty();
            lock.lock();
            if (found) break;
            done.wait_for(lock, std::chrono::milliseconds(100), [&] { return offered; });
        }
    }
    transport.set_availability_handler(nullptr);
    transport.send_request(
        service,
        method_id, 1, Serialized_payload(Serialized_payload::someip, std::make_shared<Bytes>(std::move(request))),
        [&](std::uint8_t code, Serialized_payload payload) {
            std::lock_guard<std::mutex> lock(mutex);
            result = Call_result{code, payload.payload()};
            done.notify_all();
        });
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return result.has_value(); });
    return *result;
}

std::string hex_bytes(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += digits;
    }
    return text;
}

}  // namespace adaptive_sim
