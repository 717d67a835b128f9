#pragma once
// Chooses and installs the platform back end: --backend x11|fixture[=FILE], else
// OVERLOOK_BACKEND, else X11 when DISPLAY is set and the fixture otherwise.

#include "Tessera/CaptureService.h"
#include "Tessera/DisplayQueryService.h"

#include <memory>
#include <optional>
#include <string>

namespace overlook {

struct BackendChoice {
    enum class Kind { X11, Fixture } kind = Kind::Fixture;
    std::string fixtureFile; // empty: the shipped two-display arrangement
};

// Parses "x11", "fixture" or "fixture=FILE"; nullopt for anything else.
std::optional<BackendChoice> parseBackend(const std::string& text);
// The choice when the command line names none.
BackendChoice defaultBackend();

struct Backend {
    std::shared_ptr<DisplayQueryService> displays;
    std::shared_ptr<CaptureService> capture;
};

struct BackendResult {
    std::optional<Backend> backend;
    std::string error;
};

// Whether the back end must capture streams too; the display queries alone cost
// one X connection less (no capture thread, no SHM probe).
enum class Capture { Needed, NotNeeded };

BackendResult makeBackend(const BackendChoice& choice, double fixtureFramesPerSecond = 30,
                          Capture capture = Capture::Needed);
// Makes the back end the process-wide display and capture service.
void installBackend(const Backend& backend);

std::string shippedFixturePath();

} // namespace overlook
