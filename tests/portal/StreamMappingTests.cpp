// GNOME and KDE give each stream its output's place and size; xdg-desktop-portal-wlr 0.7 says 0,0.

#include "Platform/Portal/BufferGeometry.h"
#include "Platform/Portal/StreamMapping.h"

#include <gtest/gtest.h>
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>
#include <wayland-client-protocol.h>

#include <cstring>
#include <vector>

using namespace overlook;
using namespace overlook::portal;

namespace {
StreamPlace at(double x, double y, double w, double h) { return {Point{x, y}, Size{w, h}}; }
StreamPlace sized(double w, double h) { return {std::nullopt, Size{w, h}}; }
enum class Asked { Yes, No };
std::uint32_t wide(std::uint32_t eightBits) { return eightBits * 4 + eightBits / 64; }
DisplayPlace display(DisplayID id, Rect logical, Asked asked = Asked::Yes, Size pixels = {}) {
    return {id, logical, pixels.width > 0 ? pixels : Size{logical.width, logical.height}, asked == Asked::Yes};
}
} // namespace

TEST(StreamMapping, AskedDisplaysFirstByPlaceThenBySize) {
    const Rect left{0, 0, 1920, 1080}, right{1920, 0, 1920, 1080};
    const std::vector<DisplayPlace> twins = {display(1, left), display(2, right)};
    const std::vector<DisplayPlace> mixed = {display(1, left), display(2, {1920, 0, 1280, 1024})};
    struct Case {
        const char* what;
        std::vector<StreamPlace> streams;
        std::vector<DisplayPlace> displays;
        std::vector<DisplayID> taken, expected;
    };
    const std::vector<Case> cases = {
        {"equal sizes told apart by place", {at(1920, 0, 1920, 1080), at(0, 0, 1920, 1080)}, twins, {}, {2, 1}},
        {"an exact place wins over an earlier size match", {sized(1920, 1080), at(0, 0, 1920, 1080)}, twins, {}, {2, 1}},
        {"a wrong origin falls back to the size", {at(0, 0, 1280, 1024)}, mixed, {}, {2}},
        {"a wrong origin does not take a display not asked for",
         {at(0, 0, 1920, 1080)},
         {display(2, right), display(1, left, Asked::No)},
         {},
         {2}},
        {"a display not asked for when none asked fits",
         {sized(1280, 1024)},
         {display(1, left), display(2, {1920, 0, 1280, 1024}, Asked::No)},
         {},
         {2}},
        {"equal sizes without places go in the order asked", {sized(1920, 1080), sized(1920, 1080)}, twins, {}, {1, 2}},
        {"a display that has a stream is skipped", {at(0, 0, 1920, 1080)}, twins, {1}, {2}},
        // KDE, asked again for the right one of two with a consent naming both.
        {"equal sizes without places in the outputs' order",
         {sized(1920, 1080), sized(1920, 1080)},
         {display(2, right), display(1, left, Asked::No)},
         {1},
         {0, 2}},
        {"the pixel size matches too",
         {at(0, 0, 2560, 1440)},
         {display(7, {0, 0, 1280, 720}, Asked::Yes, {2560, 1440})},
         {},
         {7}},
        {"nothing fits", {at(0, 0, 800, 600), StreamPlace{}}, twins, {}, {0, 0}},
        {"more streams than displays", {sized(1920, 1080), sized(1920, 1080), sized(1920, 1080)}, twins, {}, {1, 2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mapStreams(c.streams, c.displays, c.taken), c.expected);
    }
}

// Buffers come from another process: only a picture that fits in what was mapped is read.
TEST(BufferGeometry, OnlyPicturesThatFitAreReadAndEveryRgbFormatGivesThePicture) {
    const auto tight = readableRows(0, 0, 48, 4, 3, 4);
    ASSERT_TRUE(tight);
    EXPECT_EQ(tight->first, 0u);
    EXPECT_EQ(tight->stride, 16);
    EXPECT_FALSE(tight->bottomUp);
    const auto padded = readableRows(8, 20, 8 + 20 * 2 + 16, 4, 3, 4); // the last row needs no padding
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->first, 8u);
    EXPECT_EQ(padded->stride, 20);
    EXPECT_FALSE(readableRows(8, 20, 8 + 20 * 2 + 15, 4, 3, 4)); // one byte short
    EXPECT_FALSE(readableRows(0, 12, 1000, 4, 3, 4));            // rows shorter than the picture's
    EXPECT_FALSE(readableRows(0, 18, 1000, 4, 3, 4));            // rows of part pixels
    EXPECT_FALSE(readableRows(2, 16, 1000, 4, 3, 4));            // pixels off their 4-byte places
    EXPECT_FALSE(readableRows(40, 0, 48, 4, 3, 4));              // offset past the picture's room
    EXPECT_FALSE(readableRows(0, 0, 48, 0, 3, 4));
    EXPECT_FALSE(readableRows(0xFFFFFFF0u, 16, 0xFFFFFFFFu, 4, 3, 4)); // no wrap-around
    const auto upwards = readableRows(32, -16, 48, 4, 3, 4);
    ASSERT_TRUE(upwards);
    EXPECT_EQ(upwards->first, 0u);
    EXPECT_EQ(upwards->stride, 16);
    EXPECT_TRUE(upwards->bottomUp);
    EXPECT_FALSE(readableRows(16, -16, 48, 4, 3, 4)); // the last row would start before the buffer

    // Only a mapped, whole block with bytes in it is a picture; cursor-only updates carry none.
    std::uint8_t bytes[48] = {};
    spa_chunk chunk{0, 48, 16, 0};
    spa_meta_header header{};
    spa_meta meta{SPA_META_Header, sizeof header, &header};
    spa_data block{};
    spa_buffer buffer{1, 1, &meta, &block};
    const auto picture = [&](const char*, std::uint32_t size, std::int32_t chunkFlags, std::uint32_t headerFlags,
                             void* data, spa_chunk* withChunk) {
        chunk.size = size;
        chunk.flags = chunkFlags;
        header.flags = headerFlags;
        block.data = data;
        block.chunk = withChunk;
        return pictureData(buffer) == &block;
    };
    EXPECT_TRUE(picture("whole", 48, 0, 0, bytes, &chunk));
    EXPECT_FALSE(picture("cursor only", 0, 0, 0, bytes, &chunk));
    EXPECT_FALSE(picture("unmapped", 48, 0, 0, nullptr, &chunk));
    EXPECT_FALSE(picture("no chunk", 48, 0, 0, bytes, nullptr));
    EXPECT_FALSE(picture("corrupted chunk", 48, SPA_CHUNK_FLAG_CORRUPTED, 0, bytes, &chunk));
    EXPECT_FALSE(picture("corrupted buffer", 48, 0, SPA_META_HEADER_FLAG_CORRUPTED, bytes, &chunk));
    buffer.n_datas = 0;
    EXPECT_FALSE(picture("no block", 48, 0, 0, bytes, &chunk));

    // Every format gives the same picture from rows running upwards, with junk in padding and alpha.
    using Pack = std::uint32_t (*)(std::uint32_t r, std::uint32_t g, std::uint32_t b); // 8-bit colours
    const Pack xrgb = [](auto r, auto g, auto b) { return 0x5A000000u | r << 16 | g << 8 | b; };
    const Pack xbgr = [](auto r, auto g, auto b) { return 0xA5000000u | b << 16 | g << 8 | r; };
    const Pack rgbx = [](auto r, auto g, auto b) { return r << 24 | g << 16 | b << 8 | 0x5Au; };
    const Pack bgrx = [](auto r, auto g, auto b) { return b << 24 | g << 16 | r << 8 | 0xA5u; };
    const Pack xrgb30 = [](auto r, auto g, auto b) { return 0x80000000u | wide(r) << 20 | wide(g) << 10 | wide(b); };
    const Pack xbgr30 = [](auto r, auto g, auto b) { return 0x40000000u | wide(b) << 20 | wide(g) << 10 | wide(r); };
    const Pack rgbx30 = [](auto r, auto g, auto b) { return wide(r) << 22 | wide(g) << 12 | wide(b) << 2 | 2u; };
    const Pack bgrx30 = [](auto r, auto g, auto b) { return wide(b) << 22 | wide(g) << 12 | wide(r) << 2 | 1u; };
    struct Format {
        const char* name;
        std::optional<wayland::PixelLayout> layout;
        Pack pack;
    };
    const Format formats[] = {
        {"wl_shm XRGB8888", wayland::shmPixelLayout(WL_SHM_FORMAT_XRGB8888), xrgb},
        {"wl_shm ARGB8888", wayland::shmPixelLayout(WL_SHM_FORMAT_ARGB8888), xrgb},
        {"wl_shm XBGR8888", wayland::shmPixelLayout(WL_SHM_FORMAT_XBGR8888), xbgr},
        {"wl_shm ABGR8888", wayland::shmPixelLayout(WL_SHM_FORMAT_ABGR8888), xbgr},
        {"wl_shm RGBX8888", wayland::shmPixelLayout(WL_SHM_FORMAT_RGBX8888), rgbx},
        {"wl_shm BGRA8888", wayland::shmPixelLayout(WL_SHM_FORMAT_BGRA8888), bgrx},
        {"wl_shm XRGB2101010", wayland::shmPixelLayout(WL_SHM_FORMAT_XRGB2101010), xrgb30},
        {"wl_shm ARGB2101010", wayland::shmPixelLayout(WL_SHM_FORMAT_ARGB2101010), xrgb30},
        {"wl_shm XBGR2101010", wayland::shmPixelLayout(WL_SHM_FORMAT_XBGR2101010), xbgr30},
        {"wl_shm ABGR2101010", wayland::shmPixelLayout(WL_SHM_FORMAT_ABGR2101010), xbgr30},
        {"wl_shm RGBX1010102", wayland::shmPixelLayout(WL_SHM_FORMAT_RGBX1010102), rgbx30},
        {"wl_shm BGRA1010102", wayland::shmPixelLayout(WL_SHM_FORMAT_BGRA1010102), bgrx30},
        {"spa BGRx", videoPixelLayout(SPA_VIDEO_FORMAT_BGRx), xrgb},
        {"spa RGBA", videoPixelLayout(SPA_VIDEO_FORMAT_RGBA), xbgr},
        {"spa xRGB", videoPixelLayout(SPA_VIDEO_FORMAT_xRGB), bgrx},
        {"spa ABGR", videoPixelLayout(SPA_VIDEO_FORMAT_ABGR), rgbx},
        {"spa xRGB_210LE", videoPixelLayout(SPA_VIDEO_FORMAT_xRGB_210LE), xrgb30},
        {"spa ABGR_210LE", videoPixelLayout(SPA_VIDEO_FORMAT_ABGR_210LE), xbgr30},
        {"spa RGBx_102LE", videoPixelLayout(SPA_VIDEO_FORMAT_RGBx_102LE), rgbx30},
        {"spa BGRA_102LE", videoPixelLayout(SPA_VIDEO_FORMAT_BGRA_102LE), bgrx30},
    };
    EXPECT_FALSE(wayland::shmPixelLayout(WL_SHM_FORMAT_RGB565));
    EXPECT_FALSE(videoPixelLayout(SPA_VIDEO_FORMAT_I420));
    const int w = 12, h = 8, step = w * 4 + 8;
    for (const Format& f : formats) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(f.layout);
        std::vector<std::uint8_t> memory(8 + std::size_t(step) * h, 0xEE);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::uint32_t v = y < h / 4 ? f.pack(0xF0, 0x20, 0x03) : f.pack(0x10, 0xC8, 0xFF);
                std::memcpy(&memory[8 + std::size_t(step) * (h - 1 - y) + x * 4], &v, 4);
            }
        const auto rows = readableRows(8 + step * (h - 1), -step, std::uint32_t(memory.size()), w, h, 4);
        ASSERT_TRUE(rows);
        for (int factor : {1, 2}) { // as it is, and through the area filter
            auto out = FrameSurface::allocate(w / factor, h / factor, FrameSurface::Contents::Uninitialized);
            wayland::reduceInto(memory.data() + rows->first, *f.layout, w, h, rows->stride, rows->bottomUp, 0, *out);
            EXPECT_EQ(out->row(0)[0], 0xFFF02003u) << factor;
            EXPECT_EQ(out->row(out->height() - 1)[out->width() - 1], 0xFF10C8FFu) << factor;
        }
    }
}
