// Which display a portal stream goes to, for what portals really report: GNOME and
// KDE give each stream its output's place and size, xdg-desktop-portal-wlr 0.7 says
// 0,0 for every stream.

#include "Platform/Portal/BufferGeometry.h"
#include "Platform/Portal/StreamMapping.h"

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::portal;

namespace {
StreamPlace at(double x, double y, double w, double h) { return {Point{x, y}, Size{w, h}}; }
StreamPlace sized(double w, double h) { return {std::nullopt, Size{w, h}}; }
enum class Asked { Yes, No };
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
        // A stream matched by size alone must not take the display another names exactly.
        {"an exact place wins over an earlier size match", {sized(1920, 1080), at(0, 0, 1920, 1080)}, twins, {}, {2, 1}},
        // xdg-desktop-portal-wlr: 0,0 for the 1280x1024 output on the right.
        {"a wrong origin falls back to the size", {at(0, 0, 1280, 1024)}, mixed, {}, {2}},
        // ... and 0,0 for the right one of two equal outputs, asked for alone.
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
        // A scaled output: the portal may give the mode's size instead of the logical one.
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

// Buffers come from another process: only a picture that fits in what was mapped is
// read, whatever offset and stride the producer wrote.
TEST(BufferGeometry, OnlyPicturesThatFitAreRead) {
    // 4 x 3 pixels of 4 bytes: rows of 16 bytes.
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
    EXPECT_FALSE(readableRows(40, 0, 48, 4, 3, 4));              // offset past the picture's room
    EXPECT_FALSE(readableRows(0, 0, 48, 0, 3, 4));
    EXPECT_FALSE(readableRows(0xFFFFFFF0u, 16, 0xFFFFFFFFu, 4, 3, 4)); // no wrap-around
    // A negative stride: the first row at the offset, the others below it in memory.
    const auto upwards = readableRows(32, -16, 48, 4, 3, 4);
    ASSERT_TRUE(upwards);
    EXPECT_EQ(upwards->first, 0u);
    EXPECT_EQ(upwards->stride, 16);
    EXPECT_TRUE(upwards->bottomUp);
    EXPECT_FALSE(readableRows(16, -16, 48, 4, 3, 4)); // the last row would start before the buffer
}
