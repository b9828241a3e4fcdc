// Costs of the communication core: storing a result that has a follow-up,
// attaching a follow-up to a ready future, the pool's post-to-run latency, a
// strand's throughput, and an incident whose level is disabled. Each has a
// baseline measured in the same run.
#include "rk/com/cpp_binding/log/incidents.h"
#include "rk/com/cpp_binding/logger.h"
#include "rk/com/json/serialization/detail/serialization_helper.h"
#include "rk/com/log/trace.h"
#include "rk/com/strand.h"
#include "rk/com/thread_pool_view.h"
#include "tq/com/future.h"

#include "ara/log/sink.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <future>
#include <string>

namespace {

using tq::com::Future;
using tq::com::Promise;

void BM_StdPromiseSetValue(benchmark::State& state) {
    for (auto _ : state) {
        std::promise<int> promise;
        auto future = promise.get_future();
        promise.set_value(1);
        benchmark::DoNotOptimize(future.get());
    }
}
BENCHMARK(BM_StdPromiseSetValue);

void BM_SetValueWithInstalledFollowUp(benchmark::State& state) {
    int seen = 0;
    for (auto _ : state) {
        Promise<int> promise;
        auto next = promise.get_future().then([&](Future<int> ready) { seen += ready.get(); });
        promise.set_value(1);
    }
    benchmark::DoNotOptimize(seen);
}
BENCHMARK(BM_SetValueWithInstalledFollowUp);

void BM_ThenOnReadyFuture(benchmark::State& state) {
    int seen = 0;
    for (auto _ : state) {
        Promise<int> promise;
        auto future = promise.get_future();
        promise.set_value(1);
        auto next = future.then([&](Future<int> ready) { seen += ready.get(); });
    }
    benchmark::DoNotOptimize(seen);
}
BENCHMARK(BM_ThenOnReadyFuture);

// Baseline: handing a flag to one dedicated thread through a mutex and a
// condition variable, and waiting for its answer the same way.
void BM_CondvarHandOverBaseline(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    int request = 0;
    int done = 0;
    bool stop = false;
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stop || request > done; });
            if (stop) return;
            done = request;
            changed.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        ++request;
        changed.notify_all();
        changed.wait(lock, [&] { return done == request; });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    changed.notify_all();
    worker.join();
}
BENCHMARK(BM_CondvarHandOverBaseline)->UseRealTime();

void BM_PoolPostToRun(benchmark::State& state) {
    rk::com::static_thread_pool pool(2);
    std::atomic<int> done{0};
    int sent = 0;
    for (auto _ : state) {
        ++sent;
        pool.post([&] { done.fetch_add(1, std::memory_order_release); });
        while (done.load(std::memory_order_acquire) != sent) {
        }
    }
}
BENCHMARK(BM_PoolPostToRun)->UseRealTime();

template <typename Context>
void run_batch(benchmark::State& state) {
    rk::com::static_thread_pool pool(2);
    const int batch = static_cast<int>(state.range(0));
    for (auto _ : state) {
        auto context = std::make_shared<Context>(pool);
        std::atomic<int> ran{0};
        for (int i = 0; i < batch; ++i) context->post([&] { ran.fetch_add(1, std::memory_order_relaxed); });
        context->wait();
        benchmark::DoNotOptimize(ran.load());
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void BM_ViewThroughputBaseline(benchmark::State& state) { run_batch<rk::com::Thread_pool_view>(state); }
BENCHMARK(BM_ViewThroughputBaseline)->Arg(1000)->UseRealTime();

void BM_StrandThroughput(benchmark::State& state) { run_batch<rk::com::Strand>(state); }
BENCHMARK(BM_StrandThroughput)->Arg(1000)->UseRealTime();

const rk::com::cpp_binding::Service_info service{
    tq::com::runtime::Service_id("rk::dm::dem::DiagnosticMonitor"), tq::com::runtime::Instance_id("479232")};

// Baseline: building the record's text, which a disabled level skips.
void BM_IncidentRecordText(benchmark::State& state) {
    const std::string text("Read beyond the end of the data buffer");
    for (auto _ : state) {
        rk::com::json::serialization::detail::Serialization_helper helper;
        benchmark::DoNotOptimize(
            helper.serialize(rk::com::cpp_binding::log::incidents::Method_call_request_process{service, 0, 1}, text));
    }
}
BENCHMARK(BM_IncidentRecordText);

void BM_DisabledIncident(benchmark::State& state) {
    ara::log::set_default_level(ara::log::LogLevel::kInfo);
    const std::string text("Read beyond the end of the data buffer");
    auto& logger = rk::com::cpp_binding::logger();
    for (auto _ : state) {
        rk::com::log::trace(
            logger,
            rk::com::cpp_binding::log::incidents::Method_call_request_process{service, 0, 1}, text);
    }
    ara::log::set_default_level(ara::log::LogLevel::kVerbose);
}
BENCHMARK(BM_DisabledIncident);

}  // namespace

BENCHMARK_MAIN();
