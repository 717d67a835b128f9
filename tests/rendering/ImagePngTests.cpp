#include "Tessera/ImagePng.h"
#include "tests/overlook/PngDecode.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

using namespace overlook;
using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

// Padding holds junk that must not reach the file. Bands take turns: a flat gradient, noise,
// and a ramp so skewed that its best codes are longer than deflate allows.
std::vector<std::uint32_t> randomPixels(std::mt19937& random, int w, int h, int stride, bool opaque, int band = 0) {
    std::vector<std::uint32_t> pixels(std::size_t(stride) * h, 0xDEADBEEFu);
    for (int y = 0; y < h; ++y)
        for (int x = 0, level = 0; x < w; ++x) {
            std::uint32_t& p = pixels[std::size_t(y) * stride + x];
            const std::uint32_t alpha = opaque ? 0xFF000000u : 0x80000000u;
            if (band && (y / band) % 3 != 1) {
                level = (y / band) % 3 ? level + __builtin_ctz(std::uint32_t(random()) | 0x40000u) : x / 64;
                p = alpha | 0x010101u * std::uint32_t(level % 128);
                continue;
            }
            const std::uint32_t a = opaque ? 255 : (random() % 4 == 0 ? 0 : random() % 256);
            auto c = [&] { return a == 0 ? 0u : std::uint32_t(random() % (a + 1)); };
            p = (a << 24) | (c() << 16) | (c() << 8) | c();
        }
    return pixels;
}

} // namespace

TEST(ImagePng, DecodesBackPixelForPixel) {
    std::mt19937 random(7);
    // Width, height, stride, opaque, band height: small, padded, past the size compressed in chunks,
    // banded, and one row per chunk.
    for (auto [w, h, stride, opaque, flatBand] : std::vector<std::tuple<int, int, int, bool, int>>{
             {1, 1, 1, true, 0}, {37, 5, 37, true, 0}, {64, 33, 64, false, 0}, {5, 3, 8, true, 0},
             {6, 4, 9, false, 0}, {1501, 1000, 1501, true, 0}, {1100, 1000, 1100, false, 0},
             {3840, 1080, 3840, true, 0}, {3840, 1080, 3840, true, 70}, {1100, 1000, 1100, false, 90},
             {900, 120, 900, true, 40}, {700000, 2, 700000, true, 0}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " stride " + std::to_string(stride) + " bands " +
                     std::to_string(flatBand));
        const auto pixels = randomPixels(random, w, h, stride, opaque, flatBand);
        const RenderDestination source{reinterpret_cast<std::uint8_t*>(const_cast<std::uint32_t*>(pixels.data())), w,
                                       h, stride * 4};
        const PngData png = encodePng(source);
        ASSERT_GT(png.size, 0u);
        const ScratchFolder dir("png");
        const std::string path = dir.path() / "p.png";
        ASSERT_FALSE(writeNewFile(path, png.data(), png.size));
        const auto decoded = decodePng(path);
        ASSERT_TRUE(decoded);
        ASSERT_EQ(std::tuple(decoded->width, decoded->height, decoded->hasAlpha), std::tuple(w, h, !opaque));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(decoded->at(x, y), straightAlpha(pixels[std::size_t(y) * stride + x])) << x << "," << y;
    }
    EXPECT_EQ(encodePng(RenderDestination{}).size, 0u);
}

TEST(ImagePng, PartlyTransparentPixelsComeOutStraight) {
    std::vector<std::uint32_t> pixels = {0x00000000u, 0x80402000u, 0xFF804020u, 0x01010101u, 0x40404040u, 0xFFFFFFFFu};
    const RenderDestination source{reinterpret_cast<std::uint8_t*>(pixels.data()), 3, 2, 12};
    const ScratchFolder dir("png");
    const auto path = dir.path() / "preview.png";
    ASSERT_FALSE(writePng(source, path));
    const auto decoded = decodePng(path);
    ASSERT_TRUE(decoded && decoded->hasAlpha);
    EXPECT_EQ(decoded->pixels,
              (std::vector<std::uint32_t>{0x00000000u, 0x80804000u, 0xFF804020u, 0x01FFFFFFu, 0x40FFFFFFu, 0xFFFFFFFFu}));
}

TEST(ImagePng, NewFilesNeverReplaceButPreviewsDo) {
    const ScratchFolder dir("png");
    const auto path = dir.path() / "shot.png";
    std::ofstream(path) << "theirs";
    const std::uint8_t bytes[] = {'o', 'u', 'r', 's'};
    int code = 0;
    ASSERT_TRUE(writeNewFile(path, bytes, sizeof bytes, &code));
    EXPECT_EQ(code, EEXIST);
    EXPECT_EQ(readFile(path), "theirs");
    ASSERT_FALSE(writeNewFile(dir.path() / "new.png", bytes, sizeof bytes));
    EXPECT_EQ(readFile(dir.path() / "new.png"), "ours");

    // The preview's --output is replaced, also by a smaller file.
    std::vector<std::uint32_t> big(64 * 64, 0xFF102030u), small(1, 0xFF000000u);
    ASSERT_FALSE(writePng({reinterpret_cast<std::uint8_t*>(big.data()), 64, 64, 256}, path));
    ASSERT_FALSE(writePng({reinterpret_cast<std::uint8_t*>(small.data()), 1, 1, 4}, path));
    const auto decoded = decodePng(path);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 1);
    EXPECT_EQ(decoded->at(0, 0), 0xFF000000u);

    EXPECT_TRUE(writePng({reinterpret_cast<std::uint8_t*>(small.data()), 1, 1, 4}, dir.path() / "none" / "p.png"));
    EXPECT_TRUE(writePng(RenderDestination{}, dir.path() / "empty.png"));
    EXPECT_FALSE(fs::exists(dir.path() / "empty.png"));
}
