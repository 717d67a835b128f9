#include "DisplayRenderer.h"

#include "Tessera/Crosshair.h"
#include "Tessera/Display.h"

#include <cmath>

namespace overlook {

DisplayRenderer::DisplayRenderer(bool showCrosshair_, double lineWidth_, Color lineColor_,
                                 bool desaturationPausedStream_)
    : showCrosshair(showCrosshair_), lineWidth(lineWidth_), lineColor(lineColor_),
      desaturationPausedStream(desaturationPausedStream_), log_(logs::kEngine, "DisplayRenderingView") {}

void DisplayRenderer::render(const std::vector<DisplayStreamerPtr>& streams, Image& image) const {
    for (const auto& streamer : streams)
        if (streamer->isVisible.get())
            image = compositeStream(*streamer, image); // later streamers cover earlier ones
    if (showCrosshair) {
        const Image crosshair = crosshairImage();
        if (!crosshair.isEmpty())
            image = crosshair.compositedOver(image);
    }
    image = image.cropped(activeScreenRect);
}

Image DisplayRenderer::compositeStream(const DisplayStreamer& streamer, const Image& image) const {
    const std::optional<Image> flipped = streamer.flippedScreenImage();
    if (!flipped) {
        log_.error("Failed to create an image for %s for compositing", streamer.description().c_str());
        return image;
    }
    const Rect& bounds = streamer.display().bounds;
    const double scale = streamer.scale();
    // Only the origin moves: the image already has the output size.
    const Image placed = flipped->transformed(AffineTransform::translation(bounds.minX() / scale, bounds.minY() / scale));
    const float saturation = desaturationPausedStream && !streamer.isStreaming.get() ? 0.0f : 1.0f;
    return placed.applyingColorControls(saturation).compositedOver(image);
}

std::optional<Point> DisplayRenderer::crosshairCentre() const {
    DisplayQueryService& service = displayQueryService();
    // Only the bounds take part, so the records are not built in full.
    std::vector<Display> displays;
    for (DisplayID id : service.activeDisplayList(Display::kMaxDisplays)) {
        Display display;
        display.id = id;
        display.bounds = service.bounds(id);
        displays.push_back(std::move(display));
    }
    const Rect mainBounds = service.bounds(service.mainDisplayID());
    const Rect all = displayMetrics(displays).unionWith(mainBounds);
    const double s = std::min(screenRect.width / all.width, screenRect.height / all.height);
    const Point mouse = service.mouseLocation();
    const Point p{s * mouse.x, s * (mainBounds.height - mouse.y)};
    if (!std::isfinite(p.x) || !std::isfinite(p.y))
        return std::nullopt;
    return p;
}

Image DisplayRenderer::crosshairImage() const {
    const std::optional<Point> p = crosshairCentre();
    if (!p)
        return {};
    const Image bitmap = CrosshairBitmap::shared().draw(lineColor, lineWidth);
    return bitmap.clampedToExtent().transformed(AffineTransform::translation(
        p->x - CrosshairBitmap::kWidth / 2.0, p->y - CrosshairBitmap::kHeight / 2.0));
}

Rect DisplayRenderer::outputMetrics(const std::vector<DisplayStreamerPtr>& streamers) const {
    if (streamers.empty()) {
        log_.error("Attempting to calculate output metrics for zero displays");
        return Rect::zero();
    }
    return DisplayStreamer::outputMetrics(streamers);
}

} // namespace overlook
