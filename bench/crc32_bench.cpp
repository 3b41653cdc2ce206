// CRC-32 throughput on a 64 MiB buffer: the byte-at-a-time definition, the fold the library uses,
// and each explicit fold (eight-byte tables, carry-less multiplication on 128-bit and on 256-bit
// lanes; those two report an error where the processor lacks them). Run: build/bench/crc32_bench,
// and for medians
// --benchmark_repetitions=9 --benchmark_report_aggregates_only=true.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lib/crc32.h"

namespace {

constexpr size_t kBufferBytes = 64u << 20;

const std::vector<unsigned char> &buffer() {
    static std::vector<unsigned char> data = [] {
        std::vector<unsigned char> v(kBufferBytes);
        std::mt19937_64 gen(1);
        for (auto &b : v) b = static_cast<unsigned char>(gen());
        return v;
    }();
    return data;
}

void report(benchmark::State &state) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferBytes));
    state.counters["GB/s"] = benchmark::Counter(double(kBufferBytes) / 1e9,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Crc32Bytewise(benchmark::State &state) {
    const auto &data = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(zn::crc32_fold_bytewise(0xFFFFFFFFu, data.data(), data.size()));
    report(state);
}

void BM_Crc32Fast(benchmark::State &state) {
    const auto &data = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(zn::crc32_fold(0xFFFFFFFFu, data.data(), data.size()));
    report(state);
}

void BM_Crc32Sliced(benchmark::State &state) {
    const auto &data = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(zn::crc32_fold_sliced(0xFFFFFFFFu, data.data(), data.size()));
    report(state);
}

void BM_Crc32Clmul(benchmark::State &state) {
    if (!zn::crc32_have_clmul()) {
        state.SkipWithError("this processor has no carry-less multiplication");
        return;
    }
    const auto &data = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(zn::crc32_fold_clmul(0xFFFFFFFFu, data.data(), data.size()));
    report(state);
}

void BM_Crc32Clmul256(benchmark::State &state) {
    if (!zn::crc32_have_clmul256()) {
        state.SkipWithError("this processor has no 256-bit carry-less multiplication");
        return;
    }
    const auto &data = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(zn::crc32_fold_clmul256(0xFFFFFFFFu, data.data(), data.size()));
    report(state);
}

BENCHMARK(BM_Crc32Bytewise)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Fast)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Sliced)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Clmul)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Clmul256)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
