// What one frame of the live picture costs: composing the displays' latest
// images and scaling them into the view's drawable, and the idle refresh.
#include "Foundation/MainQueue.h"
#include "Platform/Fixture/FixtureDisplayService.h"
#include "Platform/Fixture/SyntheticCaptureService.h"
#include "Platform/Fixture/TestPattern.h"
#include "Tessera/CpuImageContext.h"
#include "Tessera/DisplayRenderingView/DisplayStreamView.h"

#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include <benchmark/benchmark.h>

using namespace overlook;

namespace {

struct Scene {
    std::vector<DisplayStreamerPtr> streams;
    DisplayRenderer renderer{true, 2, {1, 0, 0, 1}, true};

    // `count` displays of `w` × `h` points side by side, each streaming a frame.
    Scene(int count, double w, double h, double scale) {
        std::string json = R"({"displays": [)";
        for (int i = 0; i < count; ++i)
            json += (i ? "," : "") + std::string(R"({"id": )") + std::to_string(i + 1) + R"(, "name": "D)" +
                    std::to_string(i) + R"(", "bounds": [)" + std::to_string(i * w) + ", 0, " + std::to_string(w) +
                    ", " + std::to_string(h) + "], \"main\": " + (i == 0 ? "true" : "false") + "}";
        json += R"(], "mouse": [300, 400]})";
        auto displays = std::make_shared<fixture::FixtureDisplayService>(fixture::parseArrangement(json));
        setDisplayQueryService(displays);
        // Streams exist (no frames of their own): frames are handed over below.
        setCaptureService(std::make_shared<fixture::SyntheticCaptureService>(displays, 0));
        for (int i = 0; i < count; ++i) {
            auto s = std::make_shared<DisplayStreamer>(overlook::Display(i + 1), true, scale);
            auto frame = FrameSurface::allocate(int(w / scale), int(h / scale));
            fixture::renderPattern(*frame, fixture::displayColor(i), {w, h}, 3);
            s->start(false);
            s->handleFrame(FrameStatus::FrameComplete, frame);
            streams.push_back(s);
        }
        manualMainQueue().drain();
        renderer.screenRect = renderer.activeScreenRect = DisplayStreamer::outputMetrics(streams);
    }
    ~Scene() {
        for (auto& s : streams)
            s->releaseStream();
        manualMainQueue().drain();
        setCaptureService(nullptr);
        setDisplayQueryService(nullptr);
    }
};

// Compose and scale into a drawable of `viewWidth` pixels (height by aspect).
void composeAndScale(benchmark::State& state, int count, double w, double h, double scale, int viewWidth, int viewHeight) {
    Scene scene(count, w, h, scale);
    const Rect& active = scene.renderer.activeScreenRect;
    std::vector<std::uint32_t> pixels(std::size_t(viewWidth) * viewHeight);
    const RenderDestination destination{reinterpret_cast<std::uint8_t*>(pixels.data()), viewWidth, viewHeight, viewWidth * 4};
    CpuImageContext context;
    const double s = std::min(viewWidth / active.width, viewHeight / active.height);
    for (auto _ : state) {
        context.clear(destination);
        Image image = Image::transparent();
        scene.renderer.render(scene.streams, image);
        const Image scaled = image.transformed(AffineTransform::scale(s, s));
        context.render(scaled, scaled.extent(), destination, {0, 0});
        benchmark::DoNotOptimize(pixels.data());
    }
    state.counters["layers"] = double(context.lastLayerCount());
    if (context.lastLayerCount() != std::size_t(count) + 1)
        state.SkipWithError("not every display was drawn");
}


} // namespace

static void BM_Draw_ThreeFullHD_Scale4_600wide(benchmark::State& state) {
    composeAndScale(state, 3, 1920, 1080, 4, 600, 113);
}
BENCHMARK(BM_Draw_ThreeFullHD_Scale4_600wide)->Unit(benchmark::kMicrosecond);

static void BM_Draw_TwoUHD_Scale1_1200x338(benchmark::State& state) {
    composeAndScale(state, 2, 3840, 2160, 1, 1200, 338);
}
BENCHMARK(BM_Draw_TwoUHD_Scale1_1200x338)->Unit(benchmark::kMicrosecond);

// The view's own draw step with nothing changed since the last frame.
static void BM_ViewIdleDraw_ThreeFullHD(benchmark::State& state) {
    ensureOffscreenApplication();
    Scene scene(3, 1920, 1080, 4);
    auto renderer = std::make_shared<DisplayRenderer>(true, 2, Color{1, 0, 0, 1}, true);
    RenderingView view(scene.streams, renderer);
    view.updateStreams(scene.streams);
    view.resize(600, 113);
    view.draw();
    for (auto _ : state)
        view.draw();
    state.counters["composed"] = double(view.composedFrameCount());
}
BENCHMARK(BM_ViewIdleDraw_ThreeFullHD)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
