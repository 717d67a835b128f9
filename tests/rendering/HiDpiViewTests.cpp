#include "ViewBindings.h"

#include "Platform/Fixture/TestPattern.h"

#include <cstdlib>

using namespace overlook;
using namespace overlook::test;

namespace {

// Before this program's application starts.
const int kScaleFactor = setenv("QT_SCALE_FACTOR", "2", 1);

struct HiDpiViewTest : ViewBindings {
    // At scale 4 the pattern's edges fall mid-point, on the boundary between two device pixels.
    FixtureEnvironment env{arrangementJson({displayJson(1, 0, "Main", 0, 0, 1620, 1020, true)})};
    HiDpiViewTest() { streams = {std::make_shared<DisplayStreamer>(Display(1), true, 4)}; }
};

} // namespace

TEST_F(HiDpiViewTest, StreamFillsTheDrawablePixelForPixelButNeverExceedsTheDisplaysPixels) {
    // At scale 1 the output is the display itself: twice as many pixels would only be made up.
    scale = 1;
    const auto view = make();
    ASSERT_EQ(view->devicePixelRatioF(), 2.0);
    update(*view);
    streams[0]->start(false);
    ASSERT_FALSE(env.capture().createdStreams().empty());
    EXPECT_EQ(env.capture().createdStreams().back().width, 1620);
    EXPECT_EQ(streams[0]->captureRatio(), 1.0);

    // At scale 4 the drawable and the capture both have the device size, twice the widget's.
    scale = 4;
    update(*view);
    EXPECT_TRUE(streams[0]->isStreaming.get());
    view->resize(405, 255);
    env.capture().emit(1, FrameStatus::FrameComplete);
    FixtureEnvironment::settle(*streams[0]->streamQueue());
    FixtureEnvironment::drainMain();
    view->draw();
    ASSERT_EQ(view->drawable().size(), QSize(810, 510));
    const auto created = env.capture().createdStreams().back();
    EXPECT_EQ(std::pair(created.width, created.height), (std::pair<std::int64_t, std::int64_t>(810, 510)));
    EXPECT_EQ(streams[0]->captureRatio(), 2.0);
    EXPECT_EQ(view->renderer().screenRect, Rect(0, 0, 405, 255)); // the layout stays in output points

    // A frame blown up from points would smear or shift these edges by a device pixel.
    const std::uint32_t base = env.displays().colorOf(1), top = fixture::kTopBandColor, corner = fixture::kCornerBlockColor;
    for (auto [x, y, colour] : {std::tuple{300, 50, top}, {300, 51, base}, {80, 100, corner}, {81, 100, base},
                                {80, 51, corner}, {80, 50, top}})
        EXPECT_EQ(pixel(*view, x, y), colour) << x << "," << y;

    // The view's other image (stopped: grey) needs the device ratio too.
    streams[0]->stop();
    FixtureEnvironment::drainMain();
    view->draw();
    EXPECT_NE(pixel(*view, 300, 51), base);
    EXPECT_EQ(view->drawable().devicePixelRatio(), 2.0);
    streams[0]->releaseStream();
}
