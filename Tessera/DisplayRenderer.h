#pragma once
// Composes the latest images of a list of display streamers into one picture of
// the desktop, as the displays are arranged: each visible display at its place in
// canvas space (display bounds divided by the streamer's scale, y down), stopped
// streams optionally in grey, a crosshair over the mouse cursor, cropped to the
// visible displays. It only builds a recipe; the rendering view rasterises it.
//
// Main thread only. Every field is read afresh on each render, so a change shows
// on the next frame.

#include "Foundation/Geometry.h"
#include "Foundation/Logger.h"
#include "Tessera/Color.h"
#include "Tessera/DisplayStreamer.h"
#include "Tessera/Image.h"

#include <optional>
#include <vector>

namespace overlook {

class DisplayRenderer {
public:
    DisplayRenderer(bool showCrosshair, double lineWidth, Color lineColor, bool desaturationPausedStream);

    // Union of the output frames of all of the view's streamers, in canvas space.
    Rect screenRect{0, 0, 100, 100};
    // Union of the output frames of the visible streamers: the crop of every frame.
    Rect activeScreenRect{0, 0, 100, 100};
    bool showCrosshair;
    double lineWidth; // in pixels of the crosshair bitmap
    Color lineColor;
    bool desaturationPausedStream;

    // Composes the visible streamers over `image` (the view passes the transparent
    // image of infinite extent) and crops the result to activeScreenRect.
    void render(const std::vector<DisplayStreamerPtr>& streams, Image& image) const;

    // One streamer's image, placed and colour-controlled, over `image`.
    Image compositeStream(const DisplayStreamer& streamer, const Image& image) const;
    // The clamped crosshair bitmap centred on the cursor; empty when there is no
    // display to place it by.
    Image crosshairImage() const;
    // The cursor in canvas space, scaled by the factor that maps the union of all
    // active displays onto screenRect; nullopt without displays.
    std::optional<Point> crosshairCentre() const;

    // The union of the streamers' output frames, writing its zero-list message
    // under the renderer's own log category.
    Rect outputMetrics(const std::vector<DisplayStreamerPtr>& streamers) const;

private:
    Logger log_;
};

} // namespace overlook
