#pragma once
// A Wayland compositor's outputs as the engine's display records need them: plain
// values, built by the session from wl_output and xdg-output events.

#include "Foundation/Geometry.h"
#include "Tessera/DisplayQueryService.h"

#include <cstdint>
#include <string>
#include <vector>

namespace overlook::wayland {

struct Output {
    DisplayID id = 0;
    std::uint32_t unitNumber = 0; // order of announcement by the compositor
    std::string name;             // connector ("HEADLESS-1", "eDP-1")
    std::string description;
    std::string make, model;
    Size millimetres;
    int transform = 0;            // wl_output_transform
    Rect logical;                 // compositor space: y down, origin wherever it is
    int pixelWidth = 0, pixelHeight = 0; // the current mode
    double refreshRate = 0;       // Hz, 0 when unknown
    int scale = 1;
    friend bool operator==(const Output&, const Output&) = default;
};

struct OutputLayout {
    std::vector<Output> outputs; // in announcement order
    friend bool operator==(const OutputLayout&, const OutputLayout&) = default;

    const Output* find(DisplayID id) const;
    // The output at the compositor's origin, else the leftmost, then topmost.
    const Output* main() const;
    // Display bounds: logical rectangles moved so the main output's top-left is the origin.
    Rect bounds(const Output& o) const;
    // Screen frames: y-up, origin at the main output's bottom-left.
    Rect screenFrame(const Output& o) const;
};

// The output's connector name: wl_output's own (version 4), else xdg-output's (older
// compositors), else one made of its registry name.
std::string outputName(const std::string& wlOutputName, const std::string& xdgOutputName, std::uint32_t global);
// An id that survives reconnection and restarts: a hash of what names the output.
DisplayID outputId(const std::string& name, const std::string& make, const std::string& model);
// Degrees of a wl_output transform (flips are ignored).
double rotationDegrees(int transform);
// Ids of outputs added, removed or changed between two layouts (a change of the
// main output moves every other display's bounds, so those count too).
std::vector<DisplayID> changedOutputs(const OutputLayout& before, const OutputLayout& after);

} // namespace overlook::wayland
