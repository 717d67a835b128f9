#pragma once
// Rasterises image recipes into memory. The CPU context (pixman) is the one we
// ship; a GPU context can sit behind the same interface later.

#include "Foundation/Geometry.h"
#include "Tessera/Image.h"

#include <cstdint>
#include <optional>
#include <string>

namespace overlook {

// Pixels a context draws into: ARGB32 premultiplied words (BGRA bytes on a
// little-endian machine), rows of `stride` bytes, row 0 at the top.
struct RenderDestination {
    std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;

    bool isValid() const { return pixels && width > 0 && height > 0 && stride >= width * 4; }
    std::uint32_t pixel(int x, int y) const {
        return reinterpret_cast<const std::uint32_t*>(pixels + static_cast<std::ptrdiff_t>(y) * stride)[x];
    }
};

// Why a task could not be started.
struct RenderError {
    std::string description;
};

class ImageContext {
public:
    virtual ~ImageContext() = default;

    // Fills the destination with transparent black.
    virtual std::optional<RenderError> clear(const RenderDestination& destination) = 0;
    // Draws the part of `image` inside `fromRect` over the destination, with the
    // rectangle's (minX, minY) corner at `atPoint` (destination pixels from the
    // top-left corner): the rectangle's smallest y lands in the top row.
    virtual std::optional<RenderError> render(const Image& image, const Rect& fromRect,
                                              const RenderDestination& destination, Point atPoint) = 0;
};

} // namespace overlook
