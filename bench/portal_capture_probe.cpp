// Measures portal capture cost for bench/portal-cost.
//
//   portal_capture_probe SCALE SECONDS          streams the main output through the
//                                               desktop portal at 1/SCALE of its size
//   portal_capture_probe --hold SECONDS         opens the main output's session, stops
//                                               reading after the first frame and keeps
//                                               the session for another reader
//
// Prints one line: frames, seconds, this process's CPU in ms and the reduction's
// wall time per frame (--hold: "holding" once the first frame came). A consent already
// granted (a test session's) is used when OVERLOOK_RESTORE_TOKEN names it.
#include "bench/ProcessCpu.h"
#include "Platform/Portal/PortalCaptureService.h"
#include "Platform/Portal/RestoreTokens.h"
#include "Platform/Wayland/Session.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace overlook;

using overlook::bench::processCpuMs;

namespace {
// One consent for every display, as the test sessions grant it.
struct GrantedToken final : portal::RestoreTokenStore {
    explicit GrantedToken(std::string t) : value(std::move(t)) {}
    std::string token(DisplayID) const override { return value; }
    void setToken(DisplayID, const std::string& t) override { value = t; }
    std::string value;
};
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: portal_capture_probe SCALE|--hold SECONDS\n");
        return 2;
    }
    const bool hold = std::strcmp(argv[1], "--hold") == 0;
    const int scale = hold ? 4 : std::atoi(argv[1]);
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
    const char* granted = std::getenv("OVERLOOK_RESTORE_TOKEN");
    portal::PortalCaptureService capture(session, granted && *granted ? std::make_shared<GrantedToken>(granted) : nullptr);
    if (auto failure = capture.failure()) {
        std::fprintf(stderr, "%s\n", failure->c_str());
        return 1;
    }
    auto queue = std::make_shared<DispatchQueue>("bench.portal");
    std::atomic<int> frames{0};
    std::atomic<bool> stopped{false};
    auto stream = capture.createStream(main->id, main->pixelWidth / scale, main->pixelHeight / scale, kPixelFormatBGRA,
                                       {}, queue, [&](FrameStatus status, FrameSurfacePtr) {
                                           if (status == FrameStatus::FrameComplete)
                                               ++frames;
                                           stopped = status == FrameStatus::Stopped;
                                       });
    // The consent and the first frame are not part of the measurement.
    stream->start();
    for (int i = 0; i < 1000 && frames == 0 && !stopped; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (frames == 0) {
        std::fprintf(stderr, "no frame came through the portal\n");
        return 1;
    }
    if (hold) {
        stream->stop(); // the session and its PipeWire node stay
        std::printf("holding\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return 0;
    }
    const int framesBefore = frames.load();
    const double cpuBefore = processCpuMs();
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double cpu = processCpuMs() - cpuBefore;
    const int n = frames.load() - framesBefore;
    const portal::PortalStats stats = capture.stats();
    stream.reset();
    std::printf("%d frames %.3f seconds %.1f ms (reduction %.2f ms a frame)\n", n, elapsed, cpu,
                stats.buffers ? stats.reduceNanoseconds / 1e6 / stats.buffers : 0.0);
    return 0;
}
