#pragma once
// The application's own light list of the attached displays, kept current across
// reconfigurations, and the two commands that rest on it: the display-information
// report and the screenshot of all displays.

#include "Foundation/Signal.h"
#include "Tessera/ImagePng.h"
#include "Tessera/DisplayQueryService.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace overlook {

struct LocalDisplay {
    DisplayID id = 0;
    Size size; // millimetres
    double rotation = 0;
    bool isMain = false;
    Rect bounds; // y-down, origin at the main display's top-left corner

    // The active displays (at most ten) in the platform's order.
    static std::vector<LocalDisplay> allDisplays();

    // The toolkit's name for the display, or "Unknown Screen <id>".
    std::string screenName() const;
    // "Display <id>\n<screen name>\n(x, y, width, height)\n"
    std::string description() const;
    // Writes the description as one plain log entry.
    void logDescription() const;

    friend bool operator==(const LocalDisplay&, const LocalDisplay&) = default;
};

// Shortest text that reads back to the same double, always with a fractional part.
std::string roundTripNumber(double value);

// One call of the platform's reconfiguration callback.
struct ReconfigurationEvent {
    DisplayID display = 0;
    std::uint32_t flags = 0;
    void* userInfo = nullptr;
};
// The flag value of the call made before a change begins.
inline constexpr std::uint32_t kBeginConfigurationFlag = 1;

// Every reconfiguration event, delivered on the thread that sends it.
Signal<const ReconfigurationEvent&>& reconfigurationEvents();
// Logs and forwards one callback; a begin-configuration call is ignored.
void displayReconfigurationCallback(DisplayID display, std::uint32_t flags, void* userInfo);

// A picture of the desktop: premultiplied ARGB32, first row at the top.
struct DesktopBitmap {
    PageBuffer memory;
    int width = 0, height = 0, stride = 0;
    // Every pixel opaque, but the alpha bytes undefined (read straight from the X
    // server): encode with Alpha::Ignore.
    bool alphaUndefined = false;
    RenderDestination pixels() const { return {memory.data(), width, height, stride}; }
};

// What the key monitor does with a key press whose text is `characters`;
// `exactlyCommand` is true when the only modifier held is the command modifier
// (Control here).
struct KeyMonitorDecision {
    bool consume = false;
    std::optional<std::int64_t> printed; // the number written to standard output
};
KeyMonitorDecision keyMonitorDecision(const std::string& characters, bool exactlyCommand);

class LocalDisplayManager final : public ObservableObject {
public:
    // Created on first use (thread-safe) and kept for the life of the process.
    static LocalDisplayManager& shared();

    Published<std::vector<LocalDisplay>> availableDisplays;

    // Writes "Display Information" and the description of every display.
    void displayInformation() const;

    // All of `displays` drawn into one bitmap at one pixel per point, at their
    // places in the union of their bounds (which always holds the main display's
    // corner). Later displays cover earlier ones; uncovered parts stay transparent.
    // None for an empty list, and none when a display gives no snapshot (its display
    // server went away, say): a picture with a display missing is not the desktop.
    // `error`, when given, receives the reason.
    static std::optional<DesktopBitmap> desktopSnapshot(const std::vector<LocalDisplay>& displays,
                                                        std::string* error = nullptr);

    struct WriteResult {
        bool written = false;
        std::string error; // set when the file could not be made
    };
    // The screenshot of all active displays as a new PNG file at `path`; an
    // existing file is never replaced. Nothing is written without displays or
    // when a display gives no snapshot (`error` says which).
    static WriteResult writeDesktopScreenshot(const std::string& path);

    // Subscribes to the platform's reconfiguration calls and installs the key
    // monitor through the installer the interface set. Done once, by shared().
    LocalDisplayManager();

    // The interface's key-monitor installer (Overlook/KeyMonitor.h), kept here so
    // that the command-line program, which has no interface, needs no toolkit.
    static void setKeyMonitorInstaller(void (*installer)());

private:
    // Refreshes queued for the main thread find the manager through this.
    std::shared_ptr<LocalDisplayManager*> alive_ = std::make_shared<LocalDisplayManager*>(this);
    std::vector<std::shared_ptr<void>> tokens_;
    std::vector<ScopedConnection> connections_;
};

} // namespace overlook
