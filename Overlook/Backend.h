#pragma once
// Chooses and installs the platform back end: --backend x11|wayland|portal|fixture[=FILE],
// else OVERLOOK_BACKEND, else Wayland when WAYLAND_DISPLAY is set (X11 under
// XWayland only when asked for), else X11 when DISPLAY is set. Wayland captures
// through wlroots screen copy, or through the desktop portal (PipeWire) where the
// compositor offers no screen copy; "portal" asks for the portal anyway. The fixture is only
// ever used when asked for: without a display server there is nothing real to show.

#include "Tessera/CaptureService.h"
#include "Tessera/DisplayQueryService.h"

#include <memory>
#include <optional>
#include <string>

namespace overlook {

struct BackendChoice {
    // None: no display server to talk to and no back end asked for.
    enum class Kind { None, X11, Wayland, Portal, Fixture } kind = Kind::None;
    std::string fixtureFile; // empty: the shipped two-display arrangement
};

// Parses "x11", "wayland", "portal", "fixture" or "fixture=FILE"; nullopt for anything else.
std::optional<BackendChoice> parseBackend(const std::string& text);
// The choice when the command line names none (Kind::None without DISPLAY).
BackendChoice defaultBackend();
// What a user without a display server is told.
inline constexpr const char* kNoDisplayServerMessage =
    "no display server to talk to: neither WAYLAND_DISPLAY nor DISPLAY is set (use --backend fixture for the demo displays)";

struct Backend {
    std::shared_ptr<DisplayQueryService> displays;
    std::shared_ptr<CaptureService> capture;
};

struct BackendResult {
    std::optional<Backend> backend;
    std::string error;
};

// Whether the back end must capture streams too; the display queries alone cost
// one X connection less (no capture thread, no SHM probe). Snapshots alone come from
// the display service, except through the desktop portal, whose streams make them.
enum class Capture { Needed, SnapshotsOnly, NotNeeded };

BackendResult makeBackend(const BackendChoice& choice, double fixtureFramesPerSecond = 30,
                          Capture capture = Capture::Needed);
// Makes the back end the process-wide display and capture service.
void installBackend(const Backend& backend);

std::string shippedFixturePath();

} // namespace overlook
