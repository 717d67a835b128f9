#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "Overlook/StreamController.h"
#include "Platform/X11/X11CaptureService.h"
#include "Platform/X11/X11DisplayService.h"
#include "Tessera/CursorImage.h"
#include "Tessera/DisplayStreamer.h"
#include "XvfbServer.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <xcb/res.h>

using namespace overlook;
using namespace overlook::test;

namespace {

using Clock = std::chrono::steady_clock;
using ImagePtr = std::shared_ptr<const Image>;

template <class Predicate>
bool drainUntil(Predicate done, int limitMs = 5000) {
    for (const auto end = Clock::now() + std::chrono::milliseconds(limitMs); Clock::now() < end && !done();)
        manualMainQueue().drain(), std::this_thread::sleep_for(std::chrono::milliseconds(5));
    manualMainQueue().drain();
    return done();
}

std::uint32_t rgb(std::uint32_t pixel) { return pixel & 0xFFFFFF; }

int drawnAround(const auto& image, int x, int y) {
    int drawn = 0;
    for (int dy = -5; dy < 20; ++dy)
        for (int dx = -5; dx < 20; ++dx)
            drawn += rgb(image.pixel(x + dx, y + dy)) != 0;
    return drawn;
}

// Two 1920 × 1080 monitors side by side; MAIN on the right.
class X11Capture : public ::testing::TestWithParam<x11::Reduction> {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<XvfbServer>(3840, 1080);
        server->setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        ASSERT_TRUE(server->running());
        displays = std::make_shared<x11::X11DisplayService>(server->name().c_str());
        capture = std::make_shared<x11::X11CaptureService>(server->name().c_str(), GetParam());
        ASSERT_TRUE(displays->ok() && capture->ok());
        setDisplayQueryService(displays);
        setCaptureService(capture);
        server->run("xdotool mousemove 3800 1000");
    }
    void TearDown() override {
        for (auto& s : streamers)
            s->releaseStream();
        manualMainQueue().drain();
        setCaptureService(nullptr);
        setDisplayQueryService(nullptr);
    }
    DisplayStreamerPtr streamer(const std::string& name, double scale) {
        Display found;
        for (const Display& d : Display::activeDisplays())
            if (d.localizedName == name)
                found = d;
        EXPECT_EQ(found.localizedName, name) << "the server has no such display";
        streamers.push_back(std::make_shared<DisplayStreamer>(found, true, scale));
        streamers.back()->start(false);
        return streamers.back();
    }
    ImagePtr nextFrame(const DisplayStreamerPtr& s, ImagePtr previous = nullptr) {
        ImagePtr image;
        drainUntil([&] { return (image = s->screenImage()) && image != previous; });
        return image != previous ? image : nullptr;
    }

    static inline std::unique_ptr<XvfbServer> server;
    std::shared_ptr<x11::X11DisplayService> displays;
    std::shared_ptr<x11::X11CaptureService> capture;
    std::vector<DisplayStreamerPtr> streamers;
};

} // namespace

TEST_P(X11Capture, FramesShowDrawnBlocksInPlaceAtEveryScale) {
    for (double scale : {1.0, 2.0, 4.0}) {
        server->fill(1920, 0, 1920, 1080, 0x000080);
        server->fill(1920, 0, 480, 240, 0xFF0000);
        server->fill(1920 + 1440, 840, 480, 240, 0x00FF00);
        server->fill(0, 0, 1920, 1080, 0xFFFF00); // SIDE
        auto s = streamer("MAIN", scale);
        auto image = nextFrame(s);
        ASSERT_TRUE(image) << "no frame at scale " << scale;
        const auto& frame = *image->surface();
        const int w = frame.width(), h = frame.height();
        ASSERT_EQ(w, 1920 / scale);
        ASSERT_EQ(h, 1080 / scale);
        EXPECT_EQ(rgb(frame.pixel(w / 16, h / 16)), 0xFF0000u) << scale;
        EXPECT_EQ(rgb(frame.pixel(w / 2, h / 2)), 0x000080u) << scale;
        EXPECT_EQ(rgb(frame.pixel(w - 1, 0)), 0x000080u) << scale;
        const int cornerX = int(1440 / scale), cornerY = int(840 / scale); // the green block's, to the pixel
        EXPECT_EQ(rgb(frame.pixel(cornerX + 1, cornerY + 1)), 0x00FF00u) << scale;
        EXPECT_EQ(rgb(frame.pixel(cornerX - 2, cornerY + 1)), 0x000080u) << scale;
        EXPECT_EQ(frame.pixel(w / 2, h / 2) >> 24, 0xFFu); // opaque
        s->releaseStream();
    }
    // The cursor (a warp, no device moved) is drawn into frames, never into snapshots.
    server->fill(0, 0, 3840, 1080, 0x000000);
    server->run("xdotool mousemove 2400 500");
    auto s = streamer("MAIN", 1);
    ASSERT_TRUE(nextFrame(s));
    EXPECT_TRUE(drainUntil([&] { return drawnAround(*s->screenImage()->surface(), 480, 500) > 10; }, 2000));
    EXPECT_EQ(drawnAround(*Display::main().createImage(), 480, 500), 0);
}

TEST_P(X11Capture, StatusesFollowWhatChangesAndAStreamEndsWithItsDisplay) {
    auto s = streamer("MAIN", 4);
    auto first = nextFrame(s);
    ASSERT_TRUE(first);
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::FrameComplete);
    EXPECT_TRUE(drainUntil([&] { return s->currentStatus.get() == FrameStatus::FrameIdle; }, 3000));
    EXPECT_EQ(s->screenImage(), first);
    server->fill(1920, 0, 1920, 1080, 0x808080);
    auto second = nextFrame(s, first);
    ASSERT_TRUE(second);
    EXPECT_EQ(rgb(second->surface()->pixel(10, 200)), 0x808080u);
    const auto before = capture->stats().frames;
    server->fill(0, 0, 1920, 1080, 0x123456);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture->stats().frames, before);
    s->stop();
    EXPECT_TRUE(drainUntil([&] { return s->currentStatus.get() == FrameStatus::Stopped; }, 3000));

    auto side = streamer("SIDE", 4);
    ASSERT_TRUE(nextFrame(side));
    LogCapture log;
    server->run("xrandr --delmonitor SIDE >/dev/null 2>&1");
    EXPECT_TRUE(drainUntil([&] { return log.contains(LogLevel::Info, "SIDE stream is stopped"); }, 4000));
    side->streamQueue()->sync([] {});
    manualMainQueue().drain();
    EXPECT_EQ(side->currentStatus.get(), FrameStatus::Stopped);
    const auto last = side->screenImage();
    EXPECT_TRUE(last);
    server->setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    server->fill(0, 0, 1920, 1080, 0x336699);
    const auto back = nextFrame(side, last);
    ASSERT_TRUE(back);
    EXPECT_EQ(rgb(back->surface()->pixel(200, 100)), 0x336699u);
}

TEST_P(X11Capture, SmallChangesAndCursorMovesAreGrabbedAloneAndGiveTheSameFrame) {
    for (int i = 0; i < 8; ++i)
        server->fill(1920 + i * 240, 0, 240, 1080, 0x101010 * (i + 3));
    server->run("xdotool mousemove 2500 500");
    auto s = streamer("MAIN", 4);
    ASSERT_TRUE(nextFrame(s));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    manualMainQueue().drain();
    auto last = s->screenImage();
    auto sameAsAWholeGrab = [&](const ImagePtr& patched) {
        auto fresh = streamer("MAIN", 4); // a first frame is grabbed whole
        auto whole = nextFrame(fresh);
        fresh->releaseStream();
        if (!whole)
            return false;
        const FrameSurface &a = *patched->surface(), &b = *whole->surface();
        int differing = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (a.pixel(x, y) != b.pixel(x, y) && differing++ < 3)
                    ADD_FAILURE() << "pixel " << x << "," << y << std::hex << ": " << a.pixel(x, y) << " vs "
                                  << b.pixel(x, y);
        return differing == 0;
    };

    const auto partialBefore = capture->stats().partialFrames;
    server->fill(2301, 333, 97, 61, 0xC0FFEE); // odd edges: not on the reduction's grid
    auto changed = nextFrame(s, last);
    ASSERT_TRUE(changed);
    EXPECT_GT(capture->stats().partialFrames, partialBefore);
    EXPECT_TRUE(sameAsAWholeGrab(changed));

    last = changed; // the cursor moved as a mouse moves it
    for (int i = 0; i < 10; ++i)
        server->run("xdotool mousemove_relative -- 37 11");
    std::uint64_t frames = 0; // every move drawn: no new frame for 400 ms
    drainUntil([&] {
        const auto before = std::exchange(frames, capture->stats().frames);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        manualMainQueue().drain();
        return before == frames && capture->stats().frames == frames;
    });
    changed = s->screenImage();
    ASSERT_NE(changed, last);
    EXPECT_TRUE(sameAsAWholeGrab(changed));
    server->run("xdotool mousemove 3800 1000");
}

TEST_P(X11Capture, OurOwnWindowRedrawingIsNoChangeButAChangeBesideItIs) {
    server->fill(1920, 0, 1920, 1080, 0x202020);
    ASSERT_EQ(server->run("xdotool mousemove 1930 110"), 0); // a partial grab takes in the cursor too
    capture->setOwnWindowAreas({Rect(2000, 100, 400, 300)});
    auto s = streamer("MAIN", 4);
    ASSERT_TRUE(nextFrame(s));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // frames of the set-up are done
    manualMainQueue().drain();
    const auto last = s->screenImage();
    const auto framesBefore = capture->stats().frames;
    for (int i = 0; i < 60; ++i) { // our preview redrawing itself for a second
        server->fill(2000, 100, 400, 300, i % 2 ? 0xFF0000 : 0x0000FF);
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
    manualMainQueue().drain();
    EXPECT_EQ(capture->stats().frames, framesBefore);
    EXPECT_EQ(s->screenImage(), last);
    server->fill(2400, 100, 100, 100, 0x00FF00);
    const auto changed = nextFrame(s, last);
    ASSERT_TRUE(changed);
    EXPECT_EQ(rgb(changed->surface()->pixel((2450 - 1920) / 4, 150 / 4)), 0x00FF00u);

    // The window moves right: where it was is grabbed again, where it is now keeps
    // what the desktop showed there (a grab would put the window into its own preview).
    capture->setOwnWindowAreas({Rect(2100, 100, 400, 300)});
    const auto moved = nextFrame(s, changed);
    ASSERT_TRUE(moved);
    EXPECT_EQ(rgb(moved->surface()->pixel((2040 - 1920) / 4, 250 / 4)), 0xFF0000u);
    EXPECT_EQ(rgb(moved->surface()->pixel((2300 - 1920) / 4, 250 / 4)), 0x202020u);
    capture->setOwnWindowAreas({});
    const auto gone = nextFrame(s, moved);
    ASSERT_TRUE(gone);
    EXPECT_EQ(rgb(gone->surface()->pixel((2300 - 1920) / 4, 250 / 4)), 0xFF0000u);
}

TEST_P(X11Capture, ReleasedStreamsGiveBackTheirServerResources) {
    const auto held = [&](std::initializer_list<const char*> names) {
        xcb_connection_t* c = xcb_connect(server->name().c_str(), nullptr);
        std::vector<xcb_atom_t> types;
        for (const char* name : names)
            if (x11::XcbReply<xcb_intern_atom_reply_t> r{
                    xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, std::strlen(name), name), nullptr)})
                types.push_back(r->atom);
        std::uint64_t count = 0;
        x11::XcbReply<xcb_res_query_clients_reply_t> clients(
            xcb_res_query_clients_reply(c, xcb_res_query_clients(c), nullptr));
        for (auto it = xcb_res_query_clients_clients_iterator(clients.get()); clients && it.rem;
             xcb_res_client_next(&it)) {
            x11::XcbReply<xcb_res_query_client_resources_reply_t> r(xcb_res_query_client_resources_reply(
                c, xcb_res_query_client_resources(c, it.data->resource_base), nullptr));
            if (!r)
                continue;
            for (auto t = xcb_res_query_client_resources_types_iterator(r.get()); t.rem; xcb_res_type_next(&t))
                if (std::find(types.begin(), types.end(), t.data->resource_type) != types.end())
                    count += t.data->count;
        }
        xcb_disconnect(c);
        return count;
    };
    const auto serverPixmapsAndPictures = [&] { return held({"PIXMAP", "PICTURE"}); };
    const std::uint64_t before = serverPixmapsAndPictures();
    std::vector<std::weak_ptr<DisplayStreamer>> gone;
    for (int cycle = 0; cycle < 10; ++cycle) {
        auto controller = std::make_shared<StreamController>(false, 4.0);
        controller->startAll();
        for (const auto& s : controller->streams.get()) {
            ASSERT_TRUE(nextFrame(s));
            gone.push_back(s);
        }
        controller->stopAll(); // as closing a popover does
        controller.reset();
        manualMainQueue().drain();
    }
    waitFor([&] { return serverPixmapsAndPictures() == before; }, 1000);
    EXPECT_EQ(serverPixmapsAndPictures(), before);
    EXPECT_LE(held({"ShmSeg"}), 1u) << "shared memory is kept as one reused buffer at most";
    manualMainQueue().drain();
    for (const auto& weak : gone)
        EXPECT_TRUE(weak.expired());
}

INSTANTIATE_TEST_SUITE_P(Reductions, X11Capture, ::testing::Values(x11::Reduction::Render, x11::Reduction::AreaFilter),
                         [](const auto& info) { return info.param == x11::Reduction::Render ? "Render" : "AreaFilter"; });

TEST(CursorDrawing, ScalesAndClipsTheCursor) {
    auto frame = FrameSurface::allocate(10, 10);
    // Hot spot at root (100, 100); the frame shows root 96..116 at scale 2.
    drawCursor(*frame, builtInArrow(), {100, 100}, Rect(96, 96, 20, 20), 2, 2);
    EXPECT_EQ(frame->pixel(2, 4), 0xFFFFFFFFu); // inside the arrow, below its tip
    EXPECT_EQ(frame->pixel(0, 0), 0u);          // left of and above the hot spot
    EXPECT_EQ(frame->pixel(9, 4), 0u);          // right of the arrow
    drawCursor(*frame, builtInArrow(), {-500, -500}, Rect(96, 96, 20, 20), 2, 2); // off the frame: no crash
}

TEST(X11CaptureIdle, AStillDesktopWakesTheCaptureRarelyEvenWhenTheCursorIsRefused) {
    XvfbServer server(1920, 1080);
    ASSERT_TRUE(server.running());
    // A client that sets a root cursor and exits makes Xvfb refuse the cursor image from then on.
    server.run("xsetroot -cursor_name left_ptr");
    auto displays = std::make_shared<x11::X11DisplayService>(server.name().c_str());
    auto capture = std::make_shared<x11::X11CaptureService>(server.name().c_str());
    ASSERT_TRUE(displays->ok() && capture->ok());
    setDisplayQueryService(displays);
    setCaptureService(capture);
    auto s = std::make_shared<DisplayStreamer>(Display::main(), true, 4);
    s->start(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.run("xsetroot -cursor_name watch"); // the shape changes: a cursor notification
    drainUntil([] { return false; }, 1500);
    const auto stats = capture->stats();
    s->releaseStream();
    manualMainQueue().drain();
    setCaptureService(nullptr);
    setDisplayQueryService(nullptr);
    EXPECT_GE(stats.frames, 1u); // the first frame and one for the new shape, not 60 a second
    EXPECT_LE(stats.frames, 5u);
    EXPECT_LT(stats.wakeups, 120u);
}
