#pragma once
// PNG files read back with libpng (independent of our writer) as straight 0xAARRGGBB, top row first.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace overlook::test {

struct DecodedPng {
    int width = 0, height = 0;
    bool hasAlpha = false; // the file's colour type carries alpha
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
};

std::optional<DecodedPng> decodePng(const std::string& path);

inline bool near(std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift = 0; shift < 32; shift += 8)
        if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

// The straight-alpha form of a premultiplied pixel, rounded as a PNG writer must.
std::uint32_t straightAlpha(std::uint32_t premultiplied);

} // namespace overlook::test
