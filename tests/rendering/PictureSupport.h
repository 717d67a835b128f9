#pragma once

#include "Tessera/CpuImageContext.h"
#include "Tessera/Image.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

namespace overlook::test {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    Picture() = default;
    Picture(int w, int h, std::uint32_t fill = 0) : width(w), height(h), pixels(std::size_t(w) * h, fill) {}
    RenderDestination destination() { return {reinterpret_cast<std::uint8_t*>(pixels.data()), width, height, width * 4}; }
    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
    std::uint32_t& at(int x, int y) { return pixels[std::size_t(y) * width + x]; }
};

// The rect's smallest y lands in the top row.
inline Picture renderPicture(const Image& image, const Rect& rect) {
    Picture picture(int(std::ceil(rect.width)), int(std::ceil(rect.height)));
    if (auto error = CpuImageContext().render(image, rect, picture.destination(), {0, 0}))
        ADD_FAILURE() << error->description;
    return picture;
}

// An opaque surface whose rows are given top (first memory row) first.
inline FrameSurfacePtr surfaceOf(const std::vector<std::vector<std::uint32_t>>& rows) {
    auto surface = FrameSurface::allocate(int(rows.front().size()), int(rows.size()));
    for (std::size_t y = 0; y < rows.size(); ++y)
        std::copy(rows[y].begin(), rows[y].end(), surface->mutableRow(int(y)));
    return surface;
}
inline FrameSurfacePtr solidSurface(int width, int height, std::uint32_t color) {
    return surfaceOf(std::vector(height, std::vector(width, color)));
}

inline int channel(std::uint32_t pixel, int shift) { return int(pixel >> shift) & 0xFF; }
inline int alphaOf(std::uint32_t p) { return channel(p, 24); }
inline int channelDistance(std::uint32_t a, std::uint32_t b) {
    int d = 0;
    for (int shift : {0, 8, 16, 24})
        d = std::max(d, std::abs(channel(a, shift) - channel(b, shift)));
    return d;
}

inline ::testing::AssertionResult picturesMatch(const Picture& actual, const Picture& expected, int tolerance,
                                                const std::function<bool(int, int)>& consider = {}) {
    if (actual.width != expected.width || actual.height != expected.height)
        return ::testing::AssertionFailure() << "size " << actual.width << "x" << actual.height << ", expected "
                                             << expected.width << "x" << expected.height;
    for (int y = 0; y < actual.height; ++y)
        for (int x = 0; x < actual.width; ++x)
            if ((!consider || consider(x, y)) && channelDistance(actual.at(x, y), expected.at(x, y)) > tolerance)
                return ::testing::AssertionFailure() << std::hex << "0x" << actual.at(x, y) << " instead of 0x"
                                                     << expected.at(x, y) << std::dec << " at " << x << "," << y;
    return ::testing::AssertionSuccess();
}

} // namespace overlook::test
