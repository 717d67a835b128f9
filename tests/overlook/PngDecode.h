#pragma once
// Reads PNG files back with libpng, an encoder-independent decoder, as straight
// (not premultiplied) 0xAARRGGBB words, first row at the top.

#include <cstdint>
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

// The straight-alpha form of a premultiplied 0xAARRGGBB pixel, rounded as a PNG
// writer must round it.
std::uint32_t straightAlpha(std::uint32_t premultiplied);

} // namespace overlook::test
