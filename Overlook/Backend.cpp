#include "Backend.h"

#include "Overlook/InstalledData.h"
#include "Platform/Fixture/FixtureDisplayService.h"
#include "Platform/Fixture/SyntheticCaptureService.h"
#include "Platform/Wayland/WaylandCaptureService.h"
#include "Platform/Wayland/WaylandDisplayService.h"
#include "Platform/X11/X11CaptureService.h"
#include "Platform/X11/X11DisplayService.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace overlook {

std::optional<BackendChoice> parseBackend(const std::string& text) {
    if (text == "x11")
        return BackendChoice{BackendChoice::Kind::X11, {}};
    if (text == "wayland")
        return BackendChoice{BackendChoice::Kind::Wayland, {}};
    if (text == "fixture")
        return BackendChoice{BackendChoice::Kind::Fixture, {}};
    if (text.rfind("fixture=", 0) == 0 && text.size() > 8)
        return BackendChoice{BackendChoice::Kind::Fixture, text.substr(8)};
    return std::nullopt;
}

BackendChoice defaultBackend() {
    if (const char* env = std::getenv("OVERLOOK_BACKEND"); env && *env) {
        if (auto choice = parseBackend(env))
            return *choice;
        std::fprintf(stderr, "overlook: OVERLOOK_BACKEND='%s' is none of x11, wayland, fixture[=FILE]; ignoring it\n", env);
    }
    // A Wayland session usually has XWayland too, which shows X clients only.
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland)
        return BackendChoice{BackendChoice::Kind::Wayland, {}};
    const char* display = std::getenv("DISPLAY");
    if (display && *display)
        return BackendChoice{BackendChoice::Kind::X11, {}};
    return BackendChoice{BackendChoice::Kind::None, {}};
}

std::string shippedFixturePath() {
    if (const char* env = std::getenv("OVERLOOK_FIXTURE"); env && *env)
        return env;
    const std::filesystem::path installed = installedDataDir() / "fixtures" / "two-displays.json";
    if (std::filesystem::exists(installed))
        return installed;
    return OVERLOOK_SOURCE_DIR "/fixtures/two-displays.json";
}

BackendResult makeBackend(const BackendChoice& choice, double fixtureFramesPerSecond, Capture capture) {
    if (choice.kind == BackendChoice::Kind::None)
        return {std::nullopt, kNoDisplayServerMessage};
    if (choice.kind == BackendChoice::Kind::X11) {
        auto displays = std::make_shared<x11::X11DisplayService>();
        if (!displays->ok())
            return {std::nullopt, displays->error()};
        if (capture == Capture::NotNeeded)
            return {Backend{displays, nullptr}, {}};
        auto streams = std::make_shared<x11::X11CaptureService>();
        if (!streams->ok())
            return {std::nullopt, streams->error()};
        return {Backend{displays, streams}, {}};
    }
    if (choice.kind == BackendChoice::Kind::Wayland) {
        std::string error;
        auto session = wayland::Session::connect(nullptr, error);
        if (!session)
            return {std::nullopt, error};
        auto displays = std::make_shared<wayland::WaylandDisplayService>(session);
        if (capture == Capture::NotNeeded)
            return {Backend{displays, nullptr}, {}};
        if (!session->canCopyScreens())
            return {std::nullopt, "the Wayland compositor offers no screen copy (wlroots' zwlr_screencopy_manager_v1); "
                                  "--backend x11 captures what XWayland shows"};
        return {Backend{displays, std::make_shared<wayland::WaylandCaptureService>(session)}, {}};
    }
    try {
        const std::string path = choice.fixtureFile.empty() ? shippedFixturePath() : choice.fixtureFile;
        auto displays = std::make_shared<fixture::FixtureDisplayService>(fixture::loadArrangement(path));
        auto synthetic = std::make_shared<fixture::SyntheticCaptureService>(displays, fixtureFramesPerSecond);
        return {Backend{displays, synthetic}, {}};
    } catch (const fixture::FixtureError& e) {
        return {std::nullopt, e.what()};
    }
}

void installBackend(const Backend& backend) {
    setDisplayQueryService(backend.displays);
    setCaptureService(backend.capture);
}

} // namespace overlook
