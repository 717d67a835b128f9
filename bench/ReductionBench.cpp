// Client-side reduction of a 1920 × 1080 grab (the area filter) at each factor, and
// through the Wayland back end's reduceInto: upright, turned (area filter, then the
// small picture turned) and at a factor that is not whole (pixman's convolution).
//   build/bench/bench_reduction
#include "Platform/Wayland/Copy.h"
#include "Tessera/AreaFilter.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <vector>

namespace {
std::vector<std::uint32_t> frame() {
    std::vector<std::uint32_t> source(1920 * 1080);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint32_t>(i * 2654435761u);
    return source;
}
} // namespace

static void BM_AreaFilter1080p(benchmark::State& state) {
    const int k = static_cast<int>(state.range(0));
    const std::vector<std::uint32_t> source = frame();
    std::vector<std::uint32_t> out((1920 / k) * (1080 / k));
    for (auto _ : state) {
        overlook::boxReduce(reinterpret_cast<const std::uint8_t*>(source.data()), 1920 * 4, k,
                            reinterpret_cast<std::uint8_t*>(out.data()), (1920 / k) * 4, 1920 / k, 1080 / k);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_AreaFilter1080p)->Arg(2)->Arg(3)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);

// Arguments: wl_output_transform, output width (its height follows the copy's shape).
static void BM_WaylandReduceInto1080p(benchmark::State& state) {
    const int transform = static_cast<int>(state.range(0)), w = static_cast<int>(state.range(1));
    const bool turned = transform & 1;
    const int h = turned ? w * 1920 / 1080 : w * 1080 / 1920;
    const std::vector<std::uint32_t> source = frame();
    auto out = overlook::FrameSurface::allocate(w, h, overlook::FrameSurface::Contents::Uninitialized);
    for (auto _ : state) {
        overlook::wayland::reduceInto(reinterpret_cast<const std::uint8_t*>(source.data()), 1920, 1080, 1920 * 4,
                                      false, transform, *out);
        benchmark::DoNotOptimize(out->mutableData());
    }
}
BENCHMARK(BM_WaylandReduceInto1080p)
    ->Args({0, 480})  // upright, factor 4
    ->Args({1, 270})  // turned 90°, factor 4
    ->Args({6, 480})  // flipped 180° (mirrored vertically), factor 4
    ->Args({1, 1080}) // turned, full size
    ->Args({0, 640})  // factor 3
    ->Args({0, 600})  // factor 3.2: pixman
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
