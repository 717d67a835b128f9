#include "PictureSupport.h"

#include "Platform/Fixture/TestPattern.h"
#include "Tessera/Crosshair.h"
#include "Tessera/DisplayRenderer.h"
#include "tests/support/FixtureEnvironment.h"

#include <algorithm>

using namespace overlook;
using namespace overlook::test;

namespace {

constexpr Color kGreen{0, 1, 0, 1};
constexpr std::uint32_t kGreenPixel = 0xFF00FF00;

class DisplayRendererTest : public ::testing::Test {
protected:
    std::unique_ptr<FixtureEnvironment> env = std::make_unique<FixtureEnvironment>(arrangementJson({
        displayJson(1, 0, "Main", 0, 0, 1600, 1000, true),
        displayJson(2, 1, "Left", -1200, -400, 1200, 800),
        displayJson(3, 2, "Right", 1600, 300, 1000, 600),
    }));
    DisplayRenderer renderer{false, 3, kGreen, false};

    void use(const std::string& json) {
        env.reset(); // its destructor uninstalls the services
        env = std::make_unique<FixtureEnvironment>(json);
    }

    DisplayStreamerPtr streamer(DisplayID id, double scale, bool visible = true, bool snapshot = true) {
        auto s = std::make_shared<DisplayStreamer>(Display(id), visible, scale);
        if (snapshot)
            s->captureScreenshot();
        return s;
    }
    void measure(const std::vector<DisplayStreamerPtr>& streams) {
        renderer.screenRect = renderer.outputMetrics(streams);
        std::vector<DisplayStreamerPtr> visible;
        for (const auto& s : streams)
            if (s->isVisible.get())
                visible.push_back(s);
        renderer.activeScreenRect = renderer.outputMetrics(visible);
    }
    Picture draw(const std::vector<DisplayStreamerPtr>& streams) {
        Image image = Image::transparent();
        renderer.render(streams, image);
        return renderPicture(image, renderer.activeScreenRect);
    }
};

const std::string kSideBySide =
    arrangementJson({displayJson(1, 0, "A", 0, 0, 800, 600, true), displayJson(2, 1, "B", 800, 0, 800, 600)});

} // namespace

TEST_F(DisplayRendererTest, PlacesEveryDisplayUprightAtItsOffsetAndScale) {
    const std::vector<DisplayStreamerPtr> streams{streamer(1, 8), streamer(2, 8), streamer(3, 4)};
    measure(streams);
    const Rect& area = renderer.activeScreenRect;
    EXPECT_EQ(area, Rect(-150, -50, 800, 275));
    Picture reference(int(std::ceil(area.width)), int(std::ceil(area.height)));
    for (int y = 0; y < reference.height; ++y)
        for (int x = 0; x < reference.width; ++x) {
            const Point c{area.minX() + x + 0.5, area.minY() + y + 0.5};
            for (const auto& s : streams) {
                const Rect frame = s->outputFrame(), &b = s->display().bounds;
                if (frame.contains(c))
                    reference.at(x, y) = fixture::patternColor(env->displays().colorOf(s->id()), {b.width, b.height},
                                                               (c.x - frame.x) * s->scale(), (c.y - frame.y) * s->scale(), 0);
            }
        }
    // Pattern edges are filtered when snapshots are scaled down; compare away from them.
    const auto awayFromEdges = [&](int x, int y) {
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx)
                if (reference.at(std::clamp(x + dx, 0, reference.width - 1), std::clamp(y + dy, 0, reference.height - 1)) !=
                    reference.at(x, y))
                    return false;
        return true;
    };
    EXPECT_TRUE(picturesMatch(draw(streams), reference, 3, awayFromEdges));
}

TEST_F(DisplayRendererTest, LaterStreamersCoverEarlierOnesWhereTheyOverlap) {
    use(arrangementJson({displayJson(1, 0, "A", 0, 0, 800, 600, true), displayJson(2, 1, "B", 400, 0, 800, 600)}));
    auto a = streamer(1, 4), b = streamer(2, 4);
    const std::uint32_t colorA = env->displays().colorOf(1), colorB = env->displays().colorOf(2);
    measure({a, b});
    EXPECT_EQ(draw({a, b}).at(150, 140), colorB);
    EXPECT_EQ(draw({b, a}).at(150, 140), colorA);
    EXPECT_EQ(draw({b, a}).at(250, 140), colorB);
}

TEST_F(DisplayRendererTest, StoppedStreamsAreGreyOnlyWhenAsked) {
    use(kSideBySide);
    auto streaming = streamer(1, 4, true, false), stopped = streamer(2, 4);
    streaming->start(false);
    env->capture().emit(1, FrameStatus::FrameComplete);
    FixtureEnvironment::settle(*streaming->streamQueue());
    measure({streaming, stopped});

    renderer.desaturationPausedStream = true;
    const Picture grey = draw({streaming, stopped});
    const std::uint32_t g = grey.at(300, 120); // in the stopped display
    EXPECT_TRUE(channel(g, 16) == channel(g, 8) && channel(g, 8) == channel(g, 0));
    EXPECT_EQ(grey.at(100, 120), env->displays().colorOf(1));
    renderer.desaturationPausedStream = false;
    EXPECT_EQ(draw({streaming, stopped}).at(300, 120), env->displays().colorOf(2));
    streaming->releaseStream();
}

TEST_F(DisplayRendererTest, CrosshairLinesCrossTheVisibleDisplaysWithARingAtTheCursor) {
    use(kSideBySide);
    env->displays().setMouseLocation({400, 450}); // y-up: 150 points below the top
    auto a = streamer(1, 4), b = streamer(2, 4);
    measure({a, b});
    renderer.showCrosshair = true;
    renderer.lineWidth = 2.7;
    ASSERT_EQ(renderer.crosshairCentre(), (Point{100, 37.5}));
    Picture picture = draw({a, b});
    for (int y : {0, 5, 80, 149}) // the vertical line, full length, outside the ring
        EXPECT_EQ(picture.at(99, y), kGreenPixel) << y;
    for (int x : {0, 40, 130, 250, 399}) // the horizontal line, across both displays
        EXPECT_GE(channel(picture.at(x, 37), 8), 0xF0) << x;
    EXPECT_EQ(picture.at(100, 43), env->displays().colorOf(1));
    EXPECT_EQ(picture.at(106, 37), env->displays().colorOf(1));
    EXPECT_GE(channel(picture.at(116, 53), 8), 0xC0); // the ring, radius 23, on the diagonal
    EXPECT_EQ(picture.at(300, 120), env->displays().colorOf(2)); // away from lines and ring

    a->isVisible = false;
    measure({a, b});
    EXPECT_EQ(renderer.activeScreenRect, Rect(200, 0, 200, 150));
    picture = draw({a, b});
    for (int x = 0; x < 200; x += 20)
        EXPECT_GE(channel(picture.at(x, 37), 8), 0xF0) << x;
    EXPECT_EQ(picture.at(100, 100), env->displays().colorOf(2));
}

TEST(Crosshair, LinesTouchAllFourBordersAndTheRingIsInsetByTheTruncatedWidth) {
    const Image bitmap = CrosshairBitmap::shared().draw(kGreen, 2.7);
    ASSERT_EQ(bitmap.extent(), Rect(0, 0, 50, 50));
    const Picture p = renderPicture(bitmap, bitmap.extent());
    // Lines touch all four borders, so that clamping continues them.
    for (auto [x, y] : {std::pair{0, 24}, {49, 25}, {24, 0}, {25, 49}})
        EXPECT_EQ(p.at(x, y), kGreenPixel) << x << "," << y;
    for (auto [x, y] : {std::pair{0, 0}, {49, 0}, {0, 49}, {49, 49}, {25, 25}, {20, 30}})
        EXPECT_EQ(p.at(x, y), 0u) << x << "," << y;
    // An inset of 3 instead of 2 would paint x = 9.
    EXPECT_EQ(alphaOf(p.at(6, 10)), 255);
    EXPECT_LT(alphaOf(p.at(9, 10)), 40);
}

TEST_F(DisplayRendererTest, HiddenMainDisplayLeavesAnEmptyBandUpToTheOrigin) {
    use(arrangementJson({displayJson(1, 0, "Main", 0, 0, 800, 600, true), displayJson(2, 1, "Far", -1000, 0, 800, 600)}));
    auto main = streamer(1, 4, false), far = streamer(2, 4);
    measure({main, far});
    EXPECT_EQ(renderer.activeScreenRect, Rect(-250, 0, 250, 150));
    Picture picture = draw({main, far});
    EXPECT_EQ(picture.at(100, 100), env->displays().colorOf(2));
    for (int x = 200; x < 250; ++x)
        ASSERT_EQ(picture.at(x, 75), 0u) << x;
}

TEST_F(DisplayRendererTest, NothingVisibleOrNoImage) {
    auto a = streamer(1, 8, false), b = streamer(2, 8, false);
    measure({a, b});
    EXPECT_EQ(renderer.activeScreenRect, Rect::zero());
    Image image = Image::transparent();
    renderer.render({a, b}, image);
    EXPECT_TRUE(image.isEmpty());

    auto withImage = streamer(1, 8), without = streamer(2, 8, true, false);
    measure({withImage, without});
    Picture picture = draw({withImage, without});
    EXPECT_EQ(picture.at(150 + 100, 50 + 100), env->displays().colorOf(1));
    EXPECT_EQ(picture.at(75, 80), 0u);
}
