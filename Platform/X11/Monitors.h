#pragma once
// The X server's monitors (RandR 1.5) as the engine's display records need them.

#include "Foundation/Geometry.h"
#include "Tessera/DisplayQueryService.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace overlook::x11 {

struct Monitor {
    DisplayID id = 0;
    std::uint32_t unitNumber = 0;
    std::string name;      // EDID monitor name, else the output or monitor name
    std::string connector; // output name ("eDP-1"), empty for output-less monitors
    Size millimetres;
    double rotation = 0;
    bool isPrimary = false;
    bool isBuiltin = false;
    Rect rootRect; // in X root coordinates (y down, origin at the root's top-left)
    double refreshRate = 0; // 0 when unknown
};

struct MonitorLayout {
    std::vector<Monitor> monitors; // in the server's order
    std::size_t mainIndex = 0;     // the primary monitor, else the first
    bool empty() const { return monitors.empty(); }
    const Monitor* find(DisplayID id) const;
    const Monitor* main() const { return monitors.empty() ? nullptr : &monitors[mainIndex]; }
    // Display bounds: root coordinates moved so the main monitor's top-left is the origin.
    Rect bounds(const Monitor& m) const;
    // Screen frames: y-up, origin at the main monitor's bottom-left.
    Rect screenFrame(const Monitor& m) const;
    // Converts a root point to the y-up space of the screen frames.
    Point toYUp(double rootX, double rootY) const;
};

// Reads the active monitors; an empty layout when RandR is missing or fails.
MonitorLayout readMonitors(xcb_connection_t* c, xcb_window_t root);

// The monitor name of an EDID block (descriptor 0xFC), if it has one.
std::optional<std::string> edidMonitorName(const std::uint8_t* edid, std::size_t length);
// Connector names of panels built into the computer.
bool isBuiltinConnector(const std::string& connector);
// A stable id for a monitor without outputs: a hash of its name, kept clear of
// the range X resource ids use.
DisplayID idForMonitorName(const std::string& name);

} // namespace overlook::x11

namespace overlook::x11 {
// Ids of the monitors added, removed or changed (geometry, rotation, role, name)
// between two layouts.
std::vector<DisplayID> changedMonitors(const MonitorLayout& before, const MonitorLayout& after);
} // namespace overlook::x11
