// Cost of one supervision failure: a record's Callback() that counts the
// error, logs it and runs a restart reaction into an execution backend that
// only counts. Baselines in the same run: the bare EM client call, and the
// callback with logging switched off.
#include "WardexMonitor.h"

#include "ara/log/capture.h"
#include "ara/log/sink.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>

namespace {

using norda::phm::wardex::NotificationType;
using norda::phm::wardex::WardexMonitor;

class Counting_backend final : public ara::exec::Execution_backend {
public:
    void report_state(ara::exec::ApplicationState) noexcept override {}
    void restart_instance(const std::string&) override { restarts.fetch_add(1); }
    void stop_instance(const std::string&) override {}
    void reset_platform(int) override {}
    std::atomic<std::uint64_t> restarts{0};
};

// The error count is set back now and then, so that every callback runs the
// error list rather than the limit list.
constexpr std::int64_t kRefillEvery = 10000;

struct Setup {
    std::shared_ptr<Counting_backend> backend = std::make_shared<Counting_backend>();
    ara::exec::Recovery_action_client client{backend};
    ara::phm::PhmCallbackClient phm;
    WardexMonitor monitor{true, client};
    std::shared_ptr<WardexMonitor::WardexMonitor_Application> record;

    Setup() {
        monitor.RegisterApplication(phm, "bench_app", 65535, 0,
                                    {NotificationType::kRestartApplication},
                                    {NotificationType::kRestartApplication}, {"bench_app.fail"},
                                    "0x1234", 1, 1, "MW1");
        record = monitor.GetApplications().front();
    }
};

template <typename Between>
void runCallbacks(benchmark::State& state, Setup& setup, Between between) {
    std::int64_t sinceRefill = 0;
    for (auto _ : state) {
        setup.record->Callback();
        if (++sinceRefill == kRefillEvery) {
            state.PauseTiming();
            setup.record->InitializeErrorCounter(0);
            between();
            sinceRefill = 0;
            state.ResumeTiming();
        }
    }
    state.counters["restarts"] = static_cast<double>(setup.backend->restarts.load());
}

void BM_RestartRequestOnly(benchmark::State& state) {
    Setup setup;
    const std::string instance = "bench_app";
    for (auto _ : state) setup.client.restart_instance(instance);
}
BENCHMARK(BM_RestartRequestOnly);

void BM_CallbackRestart_NoLogging(benchmark::State& state) {
    const auto previous = ara::log::set_sinks({});
    {
        Setup setup;
        runCallbacks(state, setup, [] {});
    }
    ara::log::set_sinks(previous);
}
BENCHMARK(BM_CallbackRestart_NoLogging);

void BM_CallbackRestart_CaptureSink(benchmark::State& state) {
    ara::log::Capture capture;
    Setup setup;
    runCallbacks(state, setup, [&capture] { capture.clear(); });
}
BENCHMARK(BM_CallbackRestart_CaptureSink);

// libdlt as the application uses it; a daemon is reached through DLT_PIPE_DIR
// when one runs, otherwise libdlt keeps what fits into its buffer.
void BM_CallbackRestart_Dlt(benchmark::State& state) {
    const auto previous =
        ara::log::set_sinks({ara::log::make_dlt_sink("WDXB", "supervision bench",
                                                     ara::log::LogLevel::kVerbose)});
    {
        Setup setup;
        runCallbacks(state, setup, [] {});
    }
    for (const auto& sink : ara::log::set_sinks(previous)) sink->shutdown();
}
BENCHMARK(BM_CallbackRestart_Dlt);

}  // namespace

BENCHMARK_MAIN();
