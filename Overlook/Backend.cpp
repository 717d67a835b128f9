#include "Backend.h"

#include "Overlook/InstalledData.h"
#include "Platform/Fixture/FixtureDisplayService.h"
#include "Platform/Fixture/SyntheticCaptureService.h"
#include "Platform/Portal/PortalCaptureService.h"
#include "Platform/Wayland/WaylandCaptureService.h"
#include "Platform/Wayland/WaylandDisplayService.h"
#include "Platform/X11/X11CaptureService.h"
#include "Platform/X11/X11DisplayService.h"
#include "settings_store/UserDefaults.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace overlook {

std::optional<BackendChoice> parseBackend(const std::string& text) {
    if (text == "x11")
        return BackendChoice{BackendChoice::Kind::X11, {}};
    if (text == "wayland")
        return BackendChoice{BackendChoice::Kind::Wayland, {}};
    if (text == "portal")
        return BackendChoice{BackendChoice::Kind::Portal, {}};
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
        std::fprintf(stderr, "overlook: OVERLOOK_BACKEND='%s' is none of x11, wayland, portal, fixture[=FILE]; ignoring it\n", env);
    }
    // A Wayland session usually has XWayland too, which shows X clients only.
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland)
        return BackendChoice{BackendChoice::Kind::Wayland, {}};
    const char* display = std::getenv("DISPLAY");
    if (display && *display)
        return BackendChoice{BackendChoice::Kind::X11, {}};
    return BackendChoice{BackendChoice::Kind::None, {}};
}

namespace {
// The portal's restore tokens in the user's settings, one key per display.
class SettingsRestoreTokens final : public portal::RestoreTokenStore {
public:
    explicit SettingsRestoreTokens(std::shared_ptr<UserDefaults> store) : store_(std::move(store)) {}
    std::string token(DisplayID display) const override {
        return store_->stringForKey(key(display)).value_or("");
    }
    void setToken(DisplayID display, const std::string& token) override {
        if (token.empty())
            store_->removeObject(key(display));
        else
            store_->set(key(display), PropertyList(token));
    }

private:
    static std::string key(DisplayID display) { return "portalRestoreToken." + std::to_string(display); }
    std::shared_ptr<UserDefaults> store_;
};

std::shared_ptr<portal::RestoreTokenStore> settingsRestoreTokens() {
    try {
        return std::make_shared<SettingsRestoreTokens>(UserDefaults::standard());
    } catch (const SettingsLocationError& e) {
        std::fprintf(stderr, "overlook: %s; the desktop will ask again for screen capture next time\n", e.what());
        return nullptr;
    }
}
} // namespace

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
        if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland)
            std::fprintf(stderr, "overlook: X11 in a Wayland session goes through XWayland, which shows X11 windows "
                                 "only; Wayland windows will be missing from the pictures\n");
        if (capture != Capture::Needed)
            return {Backend{displays, nullptr}, {}};
        auto streams = std::make_shared<x11::X11CaptureService>();
        if (!streams->ok())
            return {std::nullopt, streams->error()};
        return {Backend{displays, streams}, {}};
    }
    if (choice.kind == BackendChoice::Kind::Wayland || choice.kind == BackendChoice::Kind::Portal) {
        std::string error;
        auto session = wayland::Session::connect(nullptr, error);
        if (!session)
            return {std::nullopt, error};
        // Without wlroots screen copy (GNOME, KDE) the desktop portal captures, and
        // makes the snapshots and knows the pointer too.
        if (capture != Capture::NotNeeded &&
            (choice.kind == BackendChoice::Kind::Portal || !session->canCopyScreens())) {
            auto portal = std::make_shared<portal::PortalCaptureService>(session, settingsRestoreTokens());
            if (auto failure = portal->failure())
                return {std::nullopt, *failure};
            // Installed for snapshots alone too: its failure() says why one was not made.
            return {Backend{std::make_shared<wayland::WaylandDisplayService>(session, portal), portal}, {}};
        }
        auto displays = std::make_shared<wayland::WaylandDisplayService>(session);
        if (capture != Capture::Needed)
            return {Backend{displays, nullptr}, {}};
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
