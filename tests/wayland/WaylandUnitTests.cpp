
#include "Platform/Wayland/Copy.h"
#include "Platform/Wayland/Outputs.h"
#include "Platform/Wayland/WaylandDisplayService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace overlook;
using namespace overlook::wayland;

namespace {
Output output(const std::string& name, Rect logical) {
    Output o;
    o.name = name;
    o.make = "make";
    o.model = "model";
    o.id = outputId(name, o.make, o.model);
    o.logical = logical;
    o.pixelWidth = static_cast<int>(logical.width);
    o.pixelHeight = static_cast<int>(logical.height);
    return o;
}
} // namespace

TEST(WaylandOutputs, WithNothingAtTheOriginTheLeftmostThenTopmostOutputIsMain) {
    OutputLayout shifted;
    shifted.outputs = {output("A", Rect(500, 300, 800, 600)), output("B", Rect(-1000, 200, 1000, 700)),
                       output("C", Rect(-1000, -500, 1000, 700))};
    ASSERT_EQ(shifted.main(), &shifted.outputs[2]);
    EXPECT_EQ(shifted.bounds(shifted.outputs[0]), Rect(1500, 800, 800, 600));
    EXPECT_EQ(shifted.bounds(shifted.outputs[1]), Rect(0, 700, 1000, 700));
    EXPECT_EQ(shifted.screenFrame(shifted.outputs[1]), Rect(0, -700, 1000, 700)); // below main: negative y-up
    EXPECT_EQ(OutputLayout{}.main(), nullptr);
}

TEST(WaylandOutputs, NamesIdsAndRotations) {
    EXPECT_EQ(outputName("DP-1", "DP-2", 7), "DP-1");
    EXPECT_EQ(outputName("", "DP-2", 7), "DP-2");
    EXPECT_EQ(outputName("", "", 7), "wl_output-7");
    std::vector<DisplayID> ids = {outputId("HEADLESS-1", "headless", "headless"),
                                  outputId("HEADLESS-2", "headless", "headless"), outputId("DP-1", "Dell", "U2720Q"),
                                  outputId("DP-1", "Dell", "U2720"), outputId("DP-1D", "ell", "U2720"),
                                  outputId("", "", "")};
    for (DisplayID id : ids)
        EXPECT_NE(id, 0u);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "fields must not run into each other";
    EXPECT_EQ(rotationDegrees(0), 0);
    EXPECT_EQ(rotationDegrees(1), 90);
    EXPECT_EQ(rotationDegrees(3), 270);
    // Display names drop the connector only when the description repeats it.
    Output o = output("HEADLESS-1", Rect(0, 0, 10, 10));
    o.description = "Headless output 1 (HEADLESS-1)";
    EXPECT_EQ(displayName(o), "Headless output 1");
    o.description = "Dell Inc. DELL U2720Q 5KXF (DP-1)"; // another connector's name stays
    EXPECT_EQ(displayName(o), "Dell Inc. DELL U2720Q 5KXF (DP-1)");
    o.description = "";
    EXPECT_EQ(displayName(o), "make model");
    o.make = o.model = "";
    EXPECT_EQ(displayName(o), "HEADLESS-1");
}

TEST(WaylandOutputs, ChangesNameEveryOutputWhoseRecordMoved) {
    OutputLayout before;
    before.outputs = {output("L", Rect(0, 0, 1920, 1080)), output("R", Rect(1920, 0, 1280, 1024))};
    EXPECT_TRUE(changedOutputs(before, before).empty());

    // The main output moves: every display's bounds change although R stays put.
    OutputLayout newOrigin = before;
    newOrigin.outputs[0].logical = Rect(-1920, 0, 1920, 1080);
    newOrigin.outputs[1].logical = Rect(0, 0, 1280, 1024);
    auto changed = changedOutputs(before, newOrigin);
    std::sort(changed.begin(), changed.end());
    std::vector<DisplayID> both = {before.outputs[0].id, before.outputs[1].id};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(changed, both);
}

namespace {
// Top quarter one colour, the rest another; zero padding bytes must not leak into alpha.
struct Picture {
    int width, height, stride;
    std::vector<std::uint8_t> bytes;
    Picture(int w, int h, std::uint32_t top, std::uint32_t rest) : width(w), height(h), stride(w * 4 + 16) {
        bytes.assign(static_cast<std::size_t>(stride) * h, 0);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::uint32_t v = (y < h / 4 ? top : rest) & 0x00FFFFFF;
                std::memcpy(&bytes[std::size_t(y) * stride + x * 4], &v, 4);
            }
    }
};
std::uint32_t at(const FrameSurface& s, int x, int y) { return s.row(y)[x]; }
} // namespace

TEST(WaylandReduction, FactorsThatAreNotWholeKeepThinLinesAndThePictureUprightInPlace) {
    // A one-pixel line every 5 pixels: sampling would drop most; an area filter leaves a fifth of white.
    const int w = 300, h = 200;
    Picture p(w, h, 0xFF2040, 0);
    for (int y = h / 4; y < h; ++y)
        for (int x = 0; x < w; x += 5)
            std::memset(&p.bytes[std::size_t(y) * p.stride + x * 4], 0xFF, 3);
    Picture inverted = p; // a y-inverted copy holds its bottom row first
    for (int y = 0; y < h; ++y)
        std::memcpy(&inverted.bytes[std::size_t(y) * p.stride], &p.bytes[std::size_t(h - 1 - y) * p.stride], p.stride);
    for (const auto& [ow, oh] : {std::pair{60, 40}, std::pair{120, 80}, std::pair{200, 150}, std::pair{100, 64}})
        for (bool invert : {false, true}) {
            SCOPED_TRACE(std::to_string(ow) + (invert ? ", y-inverted" : ""));
            auto out = FrameSurface::allocate(ow, oh, FrameSurface::Contents::Uninitialized);
            reduceInto((invert ? inverted : p).bytes.data(), w, h, p.stride, invert, 0, *out);
            double sum = 0;
            for (int x = 0; x < ow; ++x)
                sum += at(*out, x, oh * 3 / 4) & 0xFF;
            EXPECT_NEAR(sum / ow, 255.0 / 5, 3.0);
            for (int x : {0, ow / 2, ow - 1}) {
                EXPECT_EQ(at(*out, x, 0), 0xFFFF2040u);
                EXPECT_EQ(at(*out, x, oh / 4 - 2), 0xFFFF2040u);
                EXPECT_EQ(at(*out, x, oh / 4 + 1) >> 24, 0xFFu);
                EXPECT_NE(at(*out, x, oh / 4 + 1) & 0xFFFFFF, 0xFF2040u);
            }
        }
}

namespace {
// A gradient, a window of one-pixel strokes, a noisy corner, and padding bytes of every value.
Picture desktopLike(int w, int h) {
    Picture p(w, h, 0, 0);
    std::uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint32_t v = 0x203050u + (std::uint32_t(x * 255 / w) << 16) + std::uint32_t(y * 120 / h);
            if (x >= w / 6 && x < w * 3 / 4 && y >= h / 5 && y < h * 4 / 5)
                v = (x == w / 6 || y == h / 5) ? 0x101010u
                    : ((y % 7 < 5) && (x * 13 + y * 7) % 11 < 3) ? 0x000000u // glyph strokes
                                                                : 0xF4F4F4u;
            if (x >= w * 3 / 4 && y >= h / 2)
                v = next() >> 8;
            v |= next() & 0xFF000000u;
            std::memcpy(&p.bytes[std::size_t(y) * p.stride + x * 4], &v, 4);
        }
    return p;
}
} // namespace

TEST(WaylandReduction, EveryWholeFactorAndTransformIsTheAreaAverageOfTheUprightPicture) {
    // The copy pixel shown at upright (x, y), for each wl_output_transform.
    using Map = std::pair<int, int> (*)(int x, int y, int cw, int ch);
    const Map shown[8] = {
        [](int x, int y, int, int) { return std::pair{x, y}; },
        [](int x, int y, int, int ch) { return std::pair{y, ch - 1 - x}; },               // 90
        [](int x, int y, int cw, int ch) { return std::pair{cw - 1 - x, ch - 1 - y}; },   // 180
        [](int x, int y, int cw, int) { return std::pair{cw - 1 - y, x}; },               // 270
        [](int x, int y, int cw, int) { return std::pair{cw - 1 - x, y}; },               // flipped
        [](int x, int y, int, int) { return std::pair{y, x}; },                           // flipped 90
        [](int x, int y, int, int ch) { return std::pair{x, ch - 1 - y}; },               // flipped 180
        [](int x, int y, int cw, int ch) { return std::pair{cw - 1 - y, ch - 1 - x}; },   // flipped 270
    };
    // 264: rows leave the wide loops a tail; 266: two pixels more than most factors divide.
    for (const auto& [cw, ch] : {std::pair{264, 120}, std::pair{266, 122}}) {
        const Picture copy = desktopLike(cw, ch);
        for (bool invert : {false, true}) {
            Picture source = copy; // a y-inverted copy holds the same picture bottom row first
            if (invert)
                for (int y = 0; y < ch; ++y)
                    std::memcpy(&source.bytes[std::size_t(y) * copy.stride],
                                &copy.bytes[std::size_t(ch - 1 - y) * copy.stride], copy.stride);
            for (int transform = 0; transform < 8; ++transform) {
                const Size upright = uprightSize(cw, ch, transform);
                const int uw = int(upright.width), uh = int(upright.height);
                for (int k : {1, 2, 3, 4, 6, 8}) {
                    SCOPED_TRACE(std::to_string(cw) + " wide, transform " + std::to_string(transform) + ", factor " +
                                 std::to_string(k) + (invert ? ", y-inverted" : ""));
                    const int ow = uw / k, oh = uh / k, left = (uw - ow * k) / 2, top = (uh - oh * k) / 2;
                    auto out = FrameSurface::allocate(ow, oh, FrameSurface::Contents::Uninitialized);
                    reduceInto(source.bytes.data(), cw, ch, copy.stride, invert, transform, *out);
                    int worst = 0, opaque = 0;
                    for (int oy = 0; oy < oh; ++oy)
                        for (int ox = 0; ox < ow; ++ox) {
                            int sums[3] = {};
                            for (int y = top + oy * k; y < top + oy * k + k; ++y)
                                for (int x = left + ox * k; x < left + ox * k + k; ++x) {
                                    const auto [px, py] = shown[transform](x, y, cw, ch);
                                    for (int c = 0; c < 3; ++c)
                                        sums[c] += copy.bytes[std::size_t(py) * copy.stride + px * 4 + c];
                                }
                            const std::uint32_t got = at(*out, ox, oy);
                            opaque += (got >> 24) == 0xFF;
                            for (int c = 0; c < 3; ++c)
                                worst = std::max(worst, std::abs(int((got >> (8 * c)) & 0xFF) -
                                                                 (sums[c] + k * k / 2) / (k * k)));
                        }
                    EXPECT_LE(worst, 1);
                    EXPECT_EQ(opaque, ow * oh);
                }
            }
        }
    }
}
