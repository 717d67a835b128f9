// Measures Wayland capture cost for bench/wayland-capture-vs-wf-recorder.
//
//   wayland_capture_probe SCALE SECONDS
//       streams the main output of $WAYLAND_DISPLAY at 1/SCALE of its size
//
// Prints one line: frames, frames per second, and this process's CPU per frame
// and per second.
#include "bench/ProcessCpu.h"
#include "Platform/Wayland/Session.h"
#include "Platform/Wayland/WaylandCaptureService.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace overlook;

using overlook::bench::processCpuMs;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wayland_capture_probe SCALE SECONDS\n");
        return 2;
    }
    const int scale = std::atoi(argv[1]);
    const double seconds = std::atof(argv[2]);
    std::string error;
    auto session = wayland::Session::connect(nullptr, error);
    if (!session) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const wayland::OutputLayout layout = session->layout();
    const wayland::Output* main = layout.main();
    if (!main)
        return 1;
    wayland::WaylandCaptureService capture(session);
    auto queue = std::make_shared<DispatchQueue>("bench.wayland");
    std::atomic<int> frames{0};
    auto stream = capture.createStream(main->id, main->pixelWidth / scale, main->pixelHeight / scale, kPixelFormatBGRA,
                                       {}, queue, [&](FrameStatus status, FrameSurfacePtr) {
                                           if (status == FrameStatus::FrameComplete)
                                               ++frames;
                                       });
    const double cpuBefore = processCpuMs();
    const auto started = std::chrono::steady_clock::now();
    stream->start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double cpu = processCpuMs() - cpuBefore;
    stream.reset();
    const int n = frames.load();
    std::printf("overlook   scale %d (%dx%d): %4d frames, %5.1f fps, %6.2f ms CPU per frame, %6.1f ms CPU per second\n",
                scale, main->pixelWidth / scale, main->pixelHeight / scale, n, n / elapsed, n ? cpu / n : 0.0,
                cpu / elapsed);
    return 0;
}
