#include "ViewBindings.h"

#include "Platform/Fixture/TestPattern.h"

using namespace overlook;
using namespace overlook::test;

namespace {

struct RenderingViewTest : ViewBindings {
    FixtureEnvironment env{arrangementJson({displayJson(1, 0, "Main", 0, 0, 1600, 1000, true),
                                            displayJson(2, 1, "Side", 1600, 0, 800, 1000)})};
    RenderingViewTest() {
        streams = {std::make_shared<DisplayStreamer>(Display(1), true, 4),
                   std::make_shared<DisplayStreamer>(Display(2), true, 4)};
    }
};

} // namespace

TEST_F(RenderingViewTest, FirstUpdateInstallsTheListAndLaterOnesOnlyMeasure) {
    auto view = make();
    EXPECT_TRUE(view->streams().empty());
    EXPECT_EQ(view->renderer().screenRect, Rect(0, 0, 600, 250));

    wrapper.updateView(view.get());
    EXPECT_TRUE(view->streams().empty()); // queued, not yet run
    FixtureEnvironment::drainMain();
    EXPECT_EQ(view->streams(), streams);
    const auto snapshot = streams[1]->screenImage();
    EXPECT_TRUE(streams[0]->screenImage() && snapshot);

    streams[1]->isVisible = false; // the same list again: no new snapshot
    update(*view);
    EXPECT_EQ(streams[1]->screenImage(), snapshot);
    EXPECT_EQ(view->renderer().screenRect, Rect(0, 0, 600, 250));
    EXPECT_EQ(view->renderer().activeScreenRect, Rect(0, 0, 400, 250));

    showCrosshair = true;
    lineWidth = 5;
    EXPECT_FALSE(view->renderer().showCrosshair);
    update(*view);
    EXPECT_TRUE(view->renderer().showCrosshair);
    EXPECT_EQ(view->renderer().lineWidth, 5);
}

TEST_F(RenderingViewTest, ScaleChangeRestartsOnlyStreamingDisplays) {
    scale = 1;
    for (auto& s : streams)
        s->setScale(1);
    auto view = make();
    update(*view);
    streams[0]->start(false);
    scale = 2;
    update(*view);
    EXPECT_EQ(env.capture().createdStreams().back().width, 800);
    EXPECT_EQ(streams[1]->scale(), 2);
    EXPECT_FALSE(streams[1]->isStreaming.get() || streams[1]->hasStream()); // stopped ones stay stopped
    EXPECT_EQ(view->renderer().screenRect, Rect(0, 0, 1200, 500));
    streams[0]->releaseStream();
}

TEST_F(RenderingViewTest, ScalesToFitAnchoredTopLeftWithTheTopOfTheDesktopAtTheTop) {
    // An active rectangle of 1000 × 500 in an 800 × 300 view: 600 × 300 at the left.
    env.displays().setArrangement(fixture::parseArrangement(
        arrangementJson({displayJson(1, 0, "Wide", 0, 0, 4000, 2000, true)})));
    streams = {std::make_shared<DisplayStreamer>(overlook::Display(1), true, 4)};
    desaturate = false; // the snapshot belongs to a stopped stream
    auto view = make();
    update(*view);
    view->resize(800, 300);
    view->draw();
    ASSERT_EQ(view->drawable().size(), QSize(800, 300));
    for (int y : {0, 150, 299}) {
        EXPECT_EQ(alphaOf(pixel(*view, 598, y)), 255) << y;
        EXPECT_EQ(pixel(*view, 601, y), 0u) << y;
    }
    EXPECT_EQ(pixel(*view, 300, 5), fixture::kTopBandColor);
    EXPECT_EQ(pixel(*view, 20, 60), fixture::kCornerBlockColor);
    EXPECT_EQ(pixel(*view, 300, 290), env.displays().colorOf(1));
}

TEST_F(RenderingViewTest, IdleRefreshesComposeNothingUntilSomethingChanges) {
    auto view = make();
    update(*view);
    view->resize(300, 125);
    showCrosshair = true;
    update(*view);
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 1u);
    view->draw();
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 1u);

    streams[0]->start(false); // a new frame
    env.capture().emit(1, FrameStatus::FrameComplete);
    FixtureEnvironment::settle(*streams[0]->streamQueue());
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 2u);
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 2u);

    env.displays().setMouseLocation({10, 20}); // the cursor moved
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 3u);

    lineColor = {0, 0, 1, 1}; // a setting changed
    update(*view);
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 4u);

    view->resize(310, 125); // the drawable changed
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 5u);
    EXPECT_EQ(view->presentedFrameCount(), 5u);

    // A hidden display's new frame changes no pixel: not shown again (on Wayland each redraw is damage).
    streams[1]->isVisible = false;
    streams[1]->start(false);
    FixtureEnvironment::drainMain();
    update(*view);
    view->draw();
    const std::size_t presented = view->presentedFrameCount();
    env.capture().emit(2, FrameStatus::FrameComplete);
    FixtureEnvironment::settle(*streams[1]->streamQueue());
    view->draw();
    EXPECT_EQ(view->composedFrameCount(), 7u);
    EXPECT_EQ(view->presentedFrameCount(), presented);
    streams[0]->releaseStream();
    streams[1]->releaseStream();
}
