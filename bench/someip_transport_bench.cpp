// Round trip of the data identifier's Read over SOME/IP on loopback (one
// client transport shared by the callers, a server transport whose provider
// answers at once, or from a thread pool as the parallel method processor
// does) beside a raw UDP echo of the same datagram sizes (20 bytes out, 23
// bytes back), with 1 and 4 clients calling at once. Reported per run: the median and 99th percentile round trip, and
// the reads per second of all clients together. With WARDEX_BENCH_SAMPLES naming a directory, every round trip
// of a case is also appended to <directory>/<case>.txt (microseconds, one a line) for plots.
#include "rk/com/runtime/someip/udp_transport.h"
#include "private_discovery.h"
#include "rk/com/static_thread_pool.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <string>
#include <vector>

namespace {

using namespace rk::com::runtime;
using rk::com::cpp_binding::Service_info;
using tq::com::runtime::Instance_id;
using tq::com::runtime::Payload_buffer;
using tq::com::runtime::Serialized_payload;
using tq::com::runtime::Service_id;
using Clock = std::chrono::steady_clock;

constexpr int reads_per_client = 2000;
const char* const did_interface = "orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets";
const Service_info did{Service_id(did_interface), Instance_id("1")};

// Server and client are two processes' transports, each on its own address,
// finding each other through discovery on a port of this run's own.
someip::Deployment deployment(const std::string& unicast) {
    someip::Deployment d;
    d.unicast = unicast;
    d.service_discovery = test_support::private_discovery(79);
    d.service_discovery.initial_delay_min = d.service_discovery.initial_delay_max = std::chrono::milliseconds(1);
    d.client_id = 0x5744;
    d.call_timeout = std::chrono::seconds(2);
    someip::Service_deployment s;
    s.interface = did_interface;
    s.service_id = 0x0401;
    s.major_version = 1;
    s.instances.push_back(someip::Instance_deployment{"1", 1, "127.0.0.1", 0});
    s.methods = {{"Cancel", 0}, {"Read", 1}};
    d.services.push_back(s);
    return d;
}

void answer_read(const Reply_function& reply) {
    reply(0, Serialized_payload(Serialized_payload::someip,
                                std::make_shared<Payload_buffer>(
                                    Payload_buffer{0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00})));
}

class Read_provider final : public Request_handler {
public:
    explicit Read_provider(bool pooled) : pool_(pooled ? std::make_unique<rk::com::static_thread_pool>(4) : nullptr) {}
    void on_request(std::uint16_t, std::uint16_t, Serialized_payload, Reply_function reply) override {
        if (!pool_) return answer_read(reply);
        pool_->post([reply = std::move(reply)] { answer_read(reply); });
    }

private:
    std::unique_ptr<rk::com::static_thread_pool> pool_;
};

struct Results {
    std::mutex mutex;
    std::vector<double> latencies_us;
};

void keep_samples(const std::string& name, const std::vector<double>& latencies_us) {
    const char* directory = std::getenv("WARDEX_BENCH_SAMPLES");
    if (directory == nullptr) return;
    std::ofstream file(std::string(directory) + "/" + name + ".txt", std::ios::app);
    for (const double latency : latencies_us) file << latency << '\n';
}

void report(benchmark::State& state, const std::string& name, Results& results, double seconds) {
    auto& l = results.latencies_us;
    keep_samples(name, l);
    std::sort(l.begin(), l.end());
    state.counters["p50_us"] = l[l.size() / 2];
    state.counters["p99_us"] = l[l.size() * 99 / 100];
    state.counters["reads_per_s"] = static_cast<double>(l.size()) / seconds;
}

template <typename Call>
void run_clients(benchmark::State& state, const std::string& name, int clients, Call call) {
    Results results;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<double> mine;
            mine.reserve(reads_per_client);
            for (int i = 0; i < reads_per_client; ++i) {
                const auto begin = Clock::now();
                call(c);
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
            }
            std::lock_guard<std::mutex> lock(results.mutex);
            results.latencies_us.insert(results.latencies_us.end(), mine.begin(), mine.end());
        });
    }
    for (auto& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    report(state, name + "_" + std::to_string(clients), results, seconds);
}

void someip_read(benchmark::State& state, bool pooled) {
    const int clients = static_cast<int>(state.range(0));
    someip::Udp_transport server(deployment("127.0.0.1"));
    server.offer(did, {0, 2}, std::make_shared<Read_provider>(pooled));
    someip::Udp_transport client(deployment("127.0.0.6"));
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (client.find(did.service_id(), did.instance_id()).empty()) {
        if (Clock::now() > until) return state.SkipWithError("the Read service was not found");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done;
        bool answered{false};
        std::uint8_t code{0};
    };
    std::vector<Waiter> waiters(static_cast<std::size_t>(clients));
    for (auto _ : state) {
        run_clients(state, pooled ? "someip_read_pooled" : "someip_read", clients, [&](int c) {
            auto& waiter = waiters[static_cast<std::size_t>(c)];
            {
                std::lock_guard<std::mutex> lock(waiter.mutex);
                waiter.answered = false;
            }
            client.send_request(did, 1, 1,
                                Serialized_payload(Serialized_payload::someip,
                                                   std::make_shared<Payload_buffer>(Payload_buffer{0, 0, 0, 0})),
                                [&waiter](std::uint8_t code, Serialized_payload) {
                                    std::lock_guard<std::mutex> lock(waiter.mutex);
                                    waiter.code = code;
                                    waiter.answered = true;
                                    waiter.done.notify_one();
                                });
            std::unique_lock<std::mutex> lock(waiter.mutex);
            waiter.done.wait(lock, [&] { return waiter.answered; });
            if (waiter.code != 0) state.SkipWithError("a Read failed");
        });
    }
}

void BM_someip_read(benchmark::State& state) { someip_read(state, false); }
void BM_someip_read_pooled(benchmark::State& state) { someip_read(state, true); }

void BM_raw_udp_echo(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    std::uint16_t echo_port = 0;
    const int echo = test_support::loopback_udp_socket(&echo_port);
    std::atomic<bool> stop{false};
    std::thread echo_thread([&] {
        std::uint8_t buffer[2048];
        const std::uint8_t reply[23] = {};
        while (!stop.load()) {
            pollfd entry{echo, POLLIN, 0};
            if (::poll(&entry, 1, 100) != 1) continue;
            sockaddr_in from{};
            socklen_t size = sizeof from;
            if (::recvfrom(echo, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size) < 0) continue;
            ::sendto(echo, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), size);
        }
    });
    std::vector<int> sockets;
    for (int c = 0; c < clients; ++c) sockets.push_back(test_support::loopback_udp_socket(nullptr));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(echo_port);
    for (auto _ : state) {
        run_clients(state, "raw_udp_echo", clients, [&](int c) {
            const std::uint8_t request[20] = {};
            std::uint8_t reply[64];
            const int fd = sockets[static_cast<std::size_t>(c)];
            ::sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            if (::recv(fd, reply, sizeof reply, 0) != 23) state.SkipWithError("echo lost");
        });
    }
    stop = true;
    echo_thread.join();
    for (int fd : sockets) ::close(fd);
    ::close(echo);
}

}  // namespace

BENCHMARK(BM_raw_udp_echo)->Arg(1)->Arg(4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_someip_read)->Arg(1)->Arg(4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_someip_read_pooled)->Arg(1)->Arg(4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
