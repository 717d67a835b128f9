#include "CursorImage.h"

#include <algorithm>
#include <cmath>

namespace overlook {

const CursorImage& builtInArrow() {
    static const CursorImage arrow = [] {
        CursorImage a;
        a.width = 12;
        a.height = 19;
        a.pixels.assign(static_cast<std::size_t>(a.width * a.height), 0);
        // A left-leaning triangle with a white body and a black outline.
        for (int y = 0; y < 17; ++y) {
            const int right = std::min(y * 2 / 3, 11);
            for (int x = 0; x <= right; ++x) {
                const bool edge = x == 0 || x == right || y == 16;
                a.pixels[static_cast<std::size_t>(y * a.width + x)] = edge ? 0xFF000000u : 0xFFFFFFFFu;
            }
        }
        return a;
    }();
    return arrow;
}

void drawCursor(FrameSurface& frame, const CursorImage& cursor, Point pointer, const Rect& area,
                double scaleX, double scaleY) {
    if (cursor.empty())
        return;
    // The cursor's top-left corner in root coordinates, then in frame pixels.
    const double left = pointer.x - cursor.hotX, top = pointer.y - cursor.hotY;
    const int x0 = std::max(0, static_cast<int>(std::floor((left - area.x) / scaleX)));
    const int y0 = std::max(0, static_cast<int>(std::floor((top - area.y) / scaleY)));
    const int x1 = std::min(frame.width(), static_cast<int>(std::ceil((left + cursor.width - area.x) / scaleX)));
    const int y1 = std::min(frame.height(), static_cast<int>(std::ceil((top + cursor.height - area.y) / scaleY)));
    for (int y = y0; y < y1; ++y) {
        const int cy = static_cast<int>(std::floor((y + 0.5) * scaleY + area.y - top));
        if (cy < 0 || cy >= cursor.height)
            continue;
        std::uint32_t* row = frame.mutableRow(y);
        for (int x = x0; x < x1; ++x) {
            const int cx = static_cast<int>(std::floor((x + 0.5) * scaleX + area.x - left));
            if (cx < 0 || cx >= cursor.width)
                continue;
            const std::uint32_t src = cursor.pixels[static_cast<std::size_t>(cy * cursor.width + cx)];
            const std::uint32_t alpha = src >> 24;
            if (alpha == 0)
                continue;
            if (alpha == 255) {
                row[x] = src;
                continue;
            }
            // Premultiplied source over destination, per channel.
            const std::uint32_t dst = row[x], inverse = 255 - alpha;
            std::uint32_t out = 0;
            for (int shift = 0; shift < 32; shift += 8) {
                const std::uint32_t s = (src >> shift) & 0xFF, d = (dst >> shift) & 0xFF;
                out |= std::min<std::uint32_t>(255, s + (d * inverse + 127) / 255) << shift;
            }
            row[x] = out;
        }
    }
}

} // namespace overlook
