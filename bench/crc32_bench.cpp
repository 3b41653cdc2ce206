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

using fold_fn = uint32_t (*)(uint32_t reg, const void *p, size_t n);

bool always() {
    return true;
}

// One fold over the buffer per iteration; an error row where the processor lacks the fold.
void BM_Crc32(benchmark::State &state, fold_fn fold, bool (*available)()) {
    if (!available()) {
        state.SkipWithError("this processor lacks the instructions of this fold");
        return;
    }
    const auto &data = buffer();
    for (auto _ : state) benchmark::DoNotOptimize(fold(0xFFFFFFFFu, data.data(), data.size()));
    report(state);
}

BENCHMARK_CAPTURE(BM_Crc32, bytewise, zn::crc32_fold_bytewise, always)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, used, zn::crc32_fold, always)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, sliced, zn::crc32_fold_sliced, always)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, clmul128, zn::crc32_fold_clmul, zn::crc32_have_clmul)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, clmul256, zn::crc32_fold_clmul256, zn::crc32_have_clmul256)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
