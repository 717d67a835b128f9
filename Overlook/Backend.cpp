#include "Backend.h"

#include "Platform/Fixture/FixtureDisplayService.h"
#include "Platform/Fixture/SyntheticCaptureService.h"
#include "Platform/X11/X11CaptureService.h"
#include "Platform/X11/X11DisplayService.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace overlook {

std::optional<BackendChoice> parseBackend(const std::string& text) {
    if (text == "x11")
        return BackendChoice{BackendChoice::Kind::X11, {}};
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
        std::fprintf(stderr, "overlook: OVERLOOK_BACKEND='%s' is neither x11 nor fixture[=FILE]; ignoring it\n", env);
    }
    const char* display = std::getenv("DISPLAY");
    if (display && *display)
        return BackendChoice{BackendChoice::Kind::X11, {}};
    return BackendChoice{BackendChoice::Kind::None, {}};
}

std::string shippedFixturePath() {
    if (const char* env = std::getenv("OVERLOOK_FIXTURE"); env && *env)
        return env;
    const std::filesystem::path installed = OVERLOOK_DATA_DIR "/fixtures/two-displays.json";
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
