// The per-frame cost of the streamer's hand-over on the stream queue: one status
// post to the main queue and one atomic exchange of the latest image.
#include "Foundation/MainQueue.h"
#include "Platform/Fixture/FixtureDisplayService.h"
#include "Tessera/DisplayStreamer.h"

#include <benchmark/benchmark.h>

using namespace overlook;

static void BM_FrameHandover(benchmark::State& state) {
    auto displays = std::make_shared<fixture::FixtureDisplayService>(fixture::parseArrangement(
        R"({"displays": [{"id": 1, "name": "Main", "bounds": [0, 0, 1920, 1080], "main": true}]})"));
    setDisplayQueryService(displays);
    auto streamer = std::make_shared<DisplayStreamer>(Display(1), true, 4);
    auto surface = FrameSurface::allocate(480, 270);
    streamer->start(false);
    for (auto _ : state) {
        streamer->handleFrame(FrameStatus::FrameComplete, surface);
        manualMainQueue().drain();
    }
    streamer->releaseStream();
    setDisplayQueryService(nullptr);
}
BENCHMARK(BM_FrameHandover);

BENCHMARK_MAIN();
