#pragma once
// The display queries the engine needs from the platform. Implemented by
// Platform/X11 (RandR) and Platform/Fixture (JSON arrangements).
//
// Coordinates: `bounds` are y-down with the origin at the main display's top-left
// corner; screen frames and the mouse location are y-up with the origin at the main
// display's bottom-left corner. All calls are synchronous; the implementations are
// safe to call from any thread.

#include "Foundation/Geometry.h"
#include "Tessera/FrameSurface.h"
#include "Tessera/PageBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace overlook {

using DisplayID = std::uint32_t;

// One entry of the toolkit's screen list.
struct ScreenInfo {
    // Absent when the platform gave no display number (a broken invariant).
    std::optional<std::int64_t> displayNumber;
    std::string localizedName;
    Rect frame;
};

class DisplayQueryService {
public:
    virtual ~DisplayQueryService() = default;

    // Writes at most `maxDisplays` active display ids, in platform order.
    virtual std::vector<DisplayID> activeDisplayList(std::uint32_t maxDisplays) = 0;
    virtual DisplayID mainDisplayID() = 0;

    virtual std::uint32_t unitNumber(DisplayID id) = 0;
    virtual Size screenSizeMillimetres(DisplayID id) = 0;
    virtual double rotation(DisplayID id) = 0;
    virtual bool isMain(DisplayID id) = 0;
    virtual bool isBuiltin(DisplayID id) = 0;
    virtual Rect bounds(DisplayID id) = 0;

    virtual std::vector<ScreenInfo> screens() = 0;

    // A full-resolution snapshot of the display, without the cursor; nullptr when
    // the platform cannot give one.
    virtual FrameSurfacePtr createImage(DisplayID id) = 0;
    // The same snapshot written straight into `destination` (BGRA rows of `stride`
    // bytes) when the display is `width` × `height` pixels, saving a picture's
    // worth of memory and a copy; false (nothing written) when the service cannot,
    // and the caller takes createImage instead.
    virtual bool snapshotInto(DisplayID id, std::uint8_t* destination, int stride, int width, int height) {
        (void)id, (void)destination, (void)stride, (void)width, (void)height;
        return false;
    }
    // All of `area` (in bounds, whole pixels, wholly covered by displays) at one
    // pixel per point in one read, as BGRX rows of area.width * 4 bytes (opaque, the
    // fourth byte undefined: not worth a pass over the picture) in memory the
    // service hands over: no picture's worth of fresh memory to fault in
    // and no copy. Empty where the service cannot (or its displays are not one
    // pixel per point); the caller then takes the displays one by one.
    virtual std::optional<PageBuffer> snapshotArea(const Rect& area) {
        (void)area;
        return std::nullopt;
    }
    // Whether a snapshot may wait for the user or for the desktop (the desktop
    // portal asks for consent, then waits for a frame): the main thread then does
    // without one rather than freeze.
    virtual bool snapshotsMayWait() { return false; }

    // The mouse location, y-up, origin at the main display's bottom-left corner.
    virtual Point mouseLocation() = 0;

    // Set once the service has lost its display server: a message for the user
    // that says so, for commands whose snapshots or queries then fail. Any thread.
    virtual std::optional<std::string> failure() { return std::nullopt; }

    // Whether the service hears of pointer movement (subscribePointerMotion works);
    // otherwise its users ask for the mouse location as often as they need it.
    virtual bool reportsPointerMotion() { return false; }
    // Called (on an unspecified thread, possibly very often) when the pointer may
    // have moved. Returns a token; dropping it unsubscribes.
    virtual std::shared_ptr<void> subscribePointerMotion(std::function<void()> callback) {
        (void)callback;
        return nullptr;
    }

    // Called (on an unspecified thread) once per affected display when the
    // arrangement changes. Returns a token; dropping it unsubscribes.
    using ReconfigurationCallback = std::function<void(DisplayID)>;
    virtual std::shared_ptr<void> subscribeReconfiguration(ReconfigurationCallback callback) {
        (void)callback;
        return nullptr;
    }
};

// The process-wide service the Display queries use. Must be set before use.
DisplayQueryService& displayQueryService();
void setDisplayQueryService(std::shared_ptr<DisplayQueryService> service);
std::shared_ptr<DisplayQueryService> sharedDisplayQueryService();

} // namespace overlook
