// Measures capture cost for bench/capture-vs-ffmpeg.
//
//   capture_probe ours SCALE SECONDS XSERVER_PID [render|filter|auto]
//       streams the main display of $DISPLAY at SCALE for SECONDS
//   capture_probe peer SECONDS XSERVER_PID -- COMMAND...
//       runs COMMAND (an ffmpeg that prints "frame=N" on standard error)
//
// Prints one line: frames, frames per second, CPU milliseconds per frame of the
// capturing process and of the X server (net of what the server spends without a
// capture, measured for a second before), and the CPU share of one core of both.
#include "Foundation/MainQueue.h"
#include "Platform/X11/X11CaptureService.h"
#include "Platform/X11/X11DisplayService.h"
#include "Tessera/DisplayStreamer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace overlook;
using Clock = std::chrono::steady_clock;

namespace {

double serverCpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return (utime + stime) * 1000.0 / sysconf(_SC_CLK_TCK);
}

double ms(const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; }

// The X server's own CPU rate (ms per second) with nothing capturing: the painter
// keeps it busy, and that work is not the capture's.
double serverBaselineRate(pid_t server) {
    const double before = serverCpuMs(server);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return serverCpuMs(server) - before;
}

void report(const char* who, long frames, double seconds, double selfMs, double serverMs) {
    const double per = frames > 0 ? 1.0 / frames : 0;
    std::printf("%-28s frames=%-6ld fps=%-7.1f self_ms/frame=%-8.3f xserver_ms/frame=%-8.3f total_ms/frame=%-8.3f "
                "cpu_of_one_core=%.2f%%\n",
                who, frames, frames / seconds, selfMs * per, serverMs * per, (selfMs + serverMs) * per,
                100.0 * (selfMs + serverMs) / (seconds * 1000.0));
}

int ours(double scale, double seconds, pid_t server, x11::Reduction reduction) {
    auto displays = std::make_shared<x11::X11DisplayService>();
    auto capture = std::make_shared<x11::X11CaptureService>(nullptr, reduction);
    if (!displays->ok() || !capture->ok()) {
        std::fprintf(stderr, "capture_probe: %s\n", (displays->ok() ? capture->error() : displays->error()).c_str());
        return 1;
    }
    setDisplayQueryService(displays);
    setCaptureService(capture);
    auto streamer = std::make_shared<DisplayStreamer>(Display::main(), true, scale);
    const double baseline = serverBaselineRate(server);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double serverBefore = serverCpuMs(server);
    const auto start = Clock::now();
    streamer->start(false);
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        manualMainQueue().drain(); // status updates, as the application's main loop would
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double selfMs = ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
    const double serverMs = serverCpuMs(server) - serverBefore - baseline * elapsed;
    streamer->releaseStream();
    manualMainQueue().drain();
    const auto stats = capture->stats();
    const long frames = static_cast<long>(stats.frames);
    char who[64];
    std::snprintf(who, sizeof who, "overlook scale %g", scale);
    report(who, frames, elapsed, selfMs, serverMs);
    if (stats.frames)
        std::printf("%-28s grab+reduce %.3f ms/frame on the capture thread (%s), %.0f loop turns a second\n", "",
                    stats.grabNanoseconds / 1e6 / stats.frames, capture->usesShm() ? "MIT-SHM" : "GetImage",
                    stats.wakeups / elapsed);
    return 0;
}

int peer(double seconds, pid_t server, char** command) {
    char log[] = "/tmp/capture_probe.XXXXXX";
    const int fd = mkstemp(log);
    const double baseline = serverBaselineRate(server);
    const double serverBefore = serverCpuMs(server);
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(fd, 2);
        execvp(command[0], command);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double serverMs = serverCpuMs(server) - serverBefore - baseline * elapsed;
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(log);
    long frames = 0;
    for (auto at = text.find("frame="); at != std::string::npos; at = text.find("frame=", at + 1))
        frames = std::strtol(text.c_str() + at + 6, nullptr, 10);
    (void)seconds;
    report(command[0], frames, elapsed, ms(usage.ru_utime) + ms(usage.ru_stime), serverMs);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "ours") == 0) {
        x11::Reduction reduction = x11::Reduction::Automatic;
        if (argc >= 6 && std::strcmp(argv[5], "render") == 0)
            reduction = x11::Reduction::Render;
        if (argc >= 6 && std::strcmp(argv[5], "filter") == 0)
            reduction = x11::Reduction::AreaFilter;
        return ours(std::atof(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), reduction);
    }
    if (argc >= 6 && std::strcmp(argv[1], "peer") == 0 && std::strcmp(argv[4], "--") == 0)
        return peer(std::atof(argv[2]), std::atoi(argv[3]), argv + 5);
    std::fprintf(stderr, "usage: capture_probe ours SCALE SECONDS XPID [render|filter|auto]\n"
                         "       capture_probe peer SECONDS XPID -- COMMAND...\n");
    return 2;
}
