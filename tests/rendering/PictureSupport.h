#pragma once
// Pictures for pixel tests: rendering recipes into owned pixels, reading pixels,
// and comparing whole pictures. A failed comparison writes the actual and the
// expected picture as PNG files next to the test's log (the working directory).

#include "Tessera/CpuImageContext.h"
#include "Tessera/Image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace overlook::test {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    Picture() = default;
    Picture(int w, int h, std::uint32_t fill = 0) : width(w), height(h), pixels(std::size_t(w) * h, fill) {}
    RenderDestination destination() {
        return {reinterpret_cast<std::uint8_t*>(pixels.data()), width, height, width * 4};
    }
    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
    std::uint32_t& at(int x, int y) { return pixels[std::size_t(y) * width + x]; }
};

// Renders `rect` of `image` into a new transparent picture of the rect's size
// (rounded up), the rect's smallest y in the top row.
Picture renderPicture(const Image& image, const Rect& rect);

// An opaque surface whose rows are given top (first memory row) first.
FrameSurfacePtr surfaceOf(const std::vector<std::vector<std::uint32_t>>& rows);
FrameSurfacePtr solidSurface(int width, int height, std::uint32_t color);

inline int channel(std::uint32_t pixel, int shift) { return int(pixel >> shift) & 0xFF; }
inline int alphaOf(std::uint32_t p) { return channel(p, 24); }
// The largest difference of any channel.
int channelDistance(std::uint32_t a, std::uint32_t b);

// Compares every pixel for which `consider(x, y)` holds (all when empty), within
// `tolerance` per channel. Writes NAME.actual.png and NAME.expected.png on failure.
::testing::AssertionResult picturesMatch(const Picture& actual, const Picture& expected, int tolerance,
                                         const std::function<bool(int, int)>& consider = {});

std::string pictureName();

} // namespace overlook::test
