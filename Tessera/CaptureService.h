#pragma once
// The platform's display-stream service: creates a stream of reduced-size frames
// of one display, delivered on a given serial queue.

#include "Foundation/DispatchQueue.h"
#include "Tessera/DisplayQueryService.h"
#include "Tessera/FrameStatus.h"
#include "Tessera/FrameSurface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace overlook {

// 'BGRA': 8-bit blue, green, red, alpha.
inline constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;

struct StreamProperties {
    int queueDepth = 1;       // frames in flight; a newer frame replaces an undelivered one
    int minimumFrameTime = 0; // seconds between frames; 0 = as fast as the display changes
    bool showCursor = true;   // draw the cursor into frames
};

// Called on the stream's queue, one update at a time; `surface` is null for
// updates without a frame (idle, blank, stopped).
using FrameHandler = std::function<void(FrameStatus status, FrameSurfacePtr surface)>;

// A created stream. start and stop are called from the main thread and return
// without waiting for frames. After stop, a final Stopped update is delivered.
// Destroying the stream guarantees the handler is not called afterwards.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

class CaptureService {
public:
    virtual ~CaptureService() = default;
    // Returns nullptr when the platform refuses to create the stream.
    // What counts as a change of a display, for every back end: only a change of
    // what the display shows (its contents, or the cursor over it) produces a new
    // frame; a still display sends an idle update about once a second. Drawing
    // inside this application's own windows must not keep a still desktop
    // streaming: the preview redraws itself whenever it is shown a new frame, and
    // counting that would make it stream at the display's refresh rate.
    //  - X11: damage wholly inside our own windows' areas (set below) is ignored.
    //  - Wayland screen copy and the desktop portal: a client does not know where
    //    its windows are, so a frame whose reduced picture equals the last one
    //    delivered is not delivered (the damage was ours, or too small to see at
    //    the stream's size). The rendering view does its part: it never shows a
    //    picture equal to the one on screen, so a preview that sees itself comes
    //    to rest after a few nested levels, and then nothing is damaged at all.
    //  - Screen copy without waiting for damage (version 1) copies a still output
    //    a few times a second and delivers nothing from it but idle updates.

    // The areas of this application's visible windows, in the back end's screen
    // coordinates (X11: root window pixels), replacing the previous list. What
    // changes wholly inside them is ignored; what changes outside still counts, and
    // a display under an area that appears, moves or goes gets a frame.
    // Main thread.
    virtual void setOwnWindowAreas(std::vector<Rect> areas) { (void)areas; }

    // Set once the service can capture nothing more (its display server went away):
    // a message for the user. Streams that were running got a final Stopped update.
    // Any thread.
    virtual std::optional<std::string> failure() const { return std::nullopt; }

    virtual std::unique_ptr<CaptureStream> createStream(DisplayID display, std::int64_t width,
                                                        std::int64_t height,
                                                        std::uint32_t pixelFormat,
                                                        const StreamProperties& properties,
                                                        std::shared_ptr<DispatchQueue> queue,
                                                        FrameHandler handler) = 0;
};

// The process-wide capture service. Must be set before streams are started.
CaptureService* captureService();
void setCaptureService(std::shared_ptr<CaptureService> service);

} // namespace overlook
