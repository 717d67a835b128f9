// Client-side reduction of a 1920 × 1080 grab (the area filter) at each factor.
//   build/bench/bench_reduction
#include "Platform/X11/Reduction.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <vector>

static void BM_AreaFilter1080p(benchmark::State& state) {
    const int k = static_cast<int>(state.range(0));
    std::vector<std::uint32_t> source(1920 * 1080);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint32_t>(i * 2654435761u);
    std::vector<std::uint32_t> out((1920 / k) * (1080 / k));
    for (auto _ : state) {
        overlook::x11::boxReduce(reinterpret_cast<const std::uint8_t*>(source.data()), 1920 * 4, k,
                                 reinterpret_cast<std::uint8_t*>(out.data()), (1920 / k) * 4, 1920 / k, 1080 / k);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_AreaFilter1080p)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
