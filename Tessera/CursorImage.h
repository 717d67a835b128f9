#pragma once
// The pointer's picture, drawn into captured frames (X11 and the desktop portal).

#include "Foundation/Geometry.h"
#include "Tessera/FrameSurface.h"

#include <cstdint>
#include <vector>

namespace overlook {

struct CursorImage {
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    std::vector<std::uint32_t> pixels; // premultiplied ARGB, row by row

    bool empty() const { return width <= 0 || height <= 0; }
};

// A plain arrow, for when the server will not give out the cursor image.
const CursorImage& builtInArrow();

// Draws `cursor` with its hot spot at `pointer` (root coordinates) into `frame`,
// which shows the rectangle `area` of the same space reduced by (scaleX, scaleY).
void drawCursor(FrameSurface& frame, const CursorImage& cursor, Point pointer, const Rect& area,
                double scaleX, double scaleY);

} // namespace overlook
