// QT_SCALE_FACTOR=2 must be set before this program's application starts.
#include "PictureSupport.h"

#include "Platform/Fixture/TestPattern.h"
#include "Tessera/DisplayRenderingView/DisplayStreamView.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/support/FixtureEnvironment.h"

#include <cstdlib>

using namespace overlook;
using namespace overlook::test;

namespace {

class HiDpiViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QT_SCALE_FACTOR", "2", 1);
        ensureOffscreenApplication();
    }

    // At scale 4 the pattern's edges fall mid-point, on the boundary between two device pixels.
    FixtureEnvironment env{arrangementJson({displayJson(1, 0, "Main", 0, 0, 1620, 1020, true)})};
    std::vector<DisplayStreamerPtr> streams{std::make_shared<DisplayStreamer>(overlook::Display(1), true, 4)};
    double scale = 4;
    bool showCrosshair = false;
    double lineWidth = 3;
    Color lineColor{1, 0, 0, 1};
    bool desaturate = true;
    DisplayStreamView wrapper{Binding<std::vector<DisplayStreamerPtr>>::to(streams), Binding<double>::to(scale),
                              Binding<bool>::to(showCrosshair),  Binding<double>::to(lineWidth),
                              Binding<Color>::to(lineColor),     Binding<bool>::to(desaturate)};

    static std::uint32_t pixel(const RenderingView& view, int x, int y) {
        return reinterpret_cast<const std::uint32_t*>(view.drawable().constScanLine(y))[x];
    }
};

} // namespace

TEST_F(HiDpiViewTest, StreamFillsTheDrawablePixelForPixelButNeverExceedsTheDisplaysPixels) {
    // At scale 1 the output is the display itself: twice as many pixels would only be made up.
    scale = 1;
    std::unique_ptr<RenderingView> view(wrapper.makeView());
    ASSERT_EQ(view->devicePixelRatioF(), 2.0);
    wrapper.updateView(view.get());
    FixtureEnvironment::drainMain();
    streams[0]->start(false);
    ASSERT_FALSE(env.capture().createdStreams().empty());
    EXPECT_EQ(env.capture().createdStreams().back().width, 1620);
    EXPECT_EQ(streams[0]->captureRatio(), 1.0);

    // At scale 4 the drawable and the capture both have the device size, twice the widget's.
    scale = 4;
    wrapper.updateView(view.get());
    FixtureEnvironment::drainMain();
    EXPECT_TRUE(streams[0]->isStreaming.get());
    view->resize(405, 255);
    env.capture().emit(1, FrameStatus::FrameComplete);
    FixtureEnvironment::settle(*streams[0]->streamQueue());
    FixtureEnvironment::drainMain();
    view->draw();
    ASSERT_EQ(view->drawable().size(), QSize(810, 510));
    EXPECT_EQ(env.capture().createdStreams().back().width, 810);
    EXPECT_EQ(env.capture().createdStreams().back().height, 510);
    EXPECT_EQ(streams[0]->captureRatio(), 2.0);
    EXPECT_EQ(view->renderer().screenRect, Rect(0, 0, 405, 255)); // the layout stays in output points

    // A frame blown up from points would smear or shift these edges by a device pixel.
    const std::uint32_t base = env.displays().colorOf(1);
    EXPECT_EQ(pixel(*view, 300, 50), fixture::kTopBandColor);
    EXPECT_EQ(pixel(*view, 300, 51), base);
    EXPECT_EQ(pixel(*view, 80, 100), fixture::kCornerBlockColor);
    EXPECT_EQ(pixel(*view, 81, 100), base);
    EXPECT_EQ(pixel(*view, 80, 51), fixture::kCornerBlockColor);
    EXPECT_EQ(pixel(*view, 80, 50), fixture::kTopBandColor);

    // The view's other image (stopped: grey) needs the device ratio too.
    streams[0]->stop();
    FixtureEnvironment::drainMain();
    view->draw();
    EXPECT_NE(pixel(*view, 300, 51), base);
    EXPECT_EQ(view->drawable().devicePixelRatio(), 2.0);
    streams[0]->releaseStream();
}
