// Encoding and decoding of the data identifier's Read result (1 KiB of data)
// and of a 16-entry meta-information map, each beside a plain memcpy of the
// same encoded bytes.
#include "orbis/services/diag/d_0401/dataidentifier_numberofecuresets_common.h"
#include "rk/com/someip/serialization/deserializer.h"
#include "rk/com/someip/serialization/serializer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace rk::com::someip::serialization;
using Bytes = std::vector<std::uint8_t>;
using String_map = std::map<std::string, std::string>;

using Read_output = orbis::services::diag::d_0401::DataIdentifier_NumberOfECUResets::Read::Output;

Read_output make_read_output() {
    Read_output output;
    output.count[0] = 128;
    output.data.resize(1024);
    for (std::size_t i = 0; i < output.data.size(); ++i) {
        output.data[i] = static_cast<std::uint8_t>(i * 7);
    }
    return output;
}

String_map make_map() {
    String_map map;
    for (int i = 0; i < 16; ++i) {
        map.emplace("meta-key-" + std::to_string(100 + i), "value-of-entry-" + std::to_string(1000 + i));
    }
    return map;
}

template <typename T>
Bytes encode(const T& value) {
    Bytes out;
    serialize_without_tag(out, value, default_serialization_properties);
    return out;
}

template <typename T>
void encode_benchmark(benchmark::State& state, const T& value) {
    Bytes out;
    out.reserve(encode(value).size());
    for (auto _ : state) {
        out.clear();
        serialize_without_tag(out, value, default_serialization_properties);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}

template <typename T>
void decode_benchmark(benchmark::State& state, const T& value) {
    const Bytes payload = encode(value);
    T decoded{};
    for (auto _ : state) {
        Deserializer deserializer{payload};
        deserializer.deserialize(decoded);
        benchmark::DoNotOptimize(decoded);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}

void memcpy_benchmark(benchmark::State& state, const Bytes& payload) {
    Bytes out(payload.size());
    for (auto _ : state) {
        std::memcpy(out.data(), payload.data(), payload.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}

void BM_ReadOutput_Memcpy(benchmark::State& state) { memcpy_benchmark(state, encode(make_read_output())); }
void BM_ReadOutput_Encode(benchmark::State& state) { encode_benchmark(state, make_read_output()); }
void BM_ReadOutput_Decode(benchmark::State& state) { decode_benchmark(state, make_read_output()); }
void BM_Map16_Memcpy(benchmark::State& state) { memcpy_benchmark(state, encode(make_map())); }
void BM_Map16_Encode(benchmark::State& state) { encode_benchmark(state, make_map()); }
void BM_Map16_Decode(benchmark::State& state) { decode_benchmark(state, make_map()); }

BENCHMARK(BM_ReadOutput_Memcpy);
BENCHMARK(BM_ReadOutput_Encode);
BENCHMARK(BM_ReadOutput_Decode);
BENCHMARK(BM_Map16_Memcpy);
BENCHMARK(BM_Map16_Encode);
BENCHMARK(BM_Map16_Decode);

}  // namespace

BENCHMARK_MAIN();
