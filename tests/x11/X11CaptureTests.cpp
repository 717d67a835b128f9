#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "Tessera/CursorImage.h"
#include "Platform/X11/X11CaptureService.h"
#include "Platform/X11/X11DisplayService.h"
#include "Overlook/StreamController.h"
#include "Tessera/AreaFilter.h"
#include "Tessera/DisplayStreamer.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>
#include <cstring>
#include <xcb/res.h>
#include <thread>

using namespace overlook;
using namespace overlook::test;

namespace {

using Clock = std::chrono::steady_clock;

// Two 1920 × 1080 monitors side by side; MAIN on the right.
class X11Capture : public ::testing::TestWithParam<x11::Reduction> {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<XvfbServer>(3840, 1080);
        ASSERT_TRUE(server->running());
        server->setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
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
        bool known = false;
        for (const Display& d : Display::activeDisplays())
            if (d.localizedName == name)
                found = d, known = true;
        if (!known)
            ADD_FAILURE() << "the server has no display " << name; // the test goes on and fails, not crashes
        streamers.push_back(std::make_shared<DisplayStreamer>(found, true, scale));
        return streamers.back();
    }
    // Waits for a frame newer than `previous`.
    std::shared_ptr<const Image> nextFrame(const DisplayStreamerPtr& s, std::shared_ptr<const Image> previous = nullptr) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            manualMainQueue().drain();
            auto image = s->screenImage();
            if (image && image != previous)
                return image;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return nullptr;
    }

    static std::unique_ptr<XvfbServer> server;
    std::shared_ptr<x11::X11DisplayService> displays;
    std::shared_ptr<x11::X11CaptureService> capture;
    std::vector<DisplayStreamerPtr> streamers;
};
std::unique_ptr<XvfbServer> X11Capture::server;

std::uint32_t rgb(std::uint32_t pixel) { return pixel & 0xFFFFFF; }

} // namespace

TEST_P(X11Capture, FramesShowDrawnBlocksInPlaceAtEveryScale) {
    for (double scale : {1.0, 2.0, 4.0}) {
        server->fill(1920, 0, 1920, 1080, 0x000080);
        server->fill(1920, 0, 480, 240, 0xFF0000);       // top-left of MAIN
        server->fill(1920 + 1440, 840, 480, 240, 0x00FF00); // bottom-right of MAIN
        server->fill(0, 0, 1920, 1080, 0xFFFF00);        // SIDE is not part of MAIN's frames
        auto s = streamer("MAIN", scale);
        s->start(false);
        auto image = nextFrame(s);
        ASSERT_TRUE(image) << "no frame at scale " << scale;
        const auto& frame = *image->surface();
        ASSERT_EQ(frame.width(), 1920 / scale);
        ASSERT_EQ(frame.height(), 1080 / scale);
        const int w = frame.width(), h = frame.height();
        EXPECT_EQ(rgb(frame.pixel(w / 16, h / 16)), 0xFF0000u) << scale;
        EXPECT_EQ(rgb(frame.pixel(w - w / 16, h - h / 16 - 1)), 0x00FF00u) << scale;
        EXPECT_EQ(rgb(frame.pixel(w / 2, h / 2)), 0x000080u) << scale;
        EXPECT_EQ(rgb(frame.pixel(w - 1, 0)), 0x000080u) << scale;
        EXPECT_EQ(frame.pixel(w / 2, h / 2) >> 24, 0xFFu); // opaque
        s->releaseStream();
    }
}

TEST_P(X11Capture, StatusesFollowWhatChanges) {
    auto s = streamer("MAIN", 4);
    std::vector<FrameStatus> seen;
    ScopedConnection c = s->currentStatus.changed.connect([&](const FrameStatus& st) { seen.push_back(st); });
    s->start(false);
    auto first = nextFrame(s);
    ASSERT_TRUE(first);
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::FrameComplete);
    // Nothing changes: an idle update within a second or so, and no new frame.
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < deadline && s->currentStatus.get() != FrameStatus::FrameIdle) {
        manualMainQueue().drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::FrameIdle);
    EXPECT_EQ(s->screenImage(), first);
    // Drawing on the display brings a new frame with the new content.
    server->fill(1920, 0, 1920, 1080, 0x808080);
    auto second = nextFrame(s, first);
    ASSERT_TRUE(second);
    EXPECT_EQ(rgb(second->surface()->pixel(10, 200)), 0x808080u);
    // Drawing on the other display alone does not.
    const auto before = capture->stats().frames;
    server->fill(0, 0, 1920, 1080, 0x123456);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture->stats().frames, before);
    s->stop();
    const auto stopDeadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < stopDeadline && s->currentStatus.get() != FrameStatus::Stopped) {
        manualMainQueue().drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::Stopped);
}

TEST_P(X11Capture, TheCursorIsInFramesButNotInSnapshots) {
    server->fill(0, 0, 3840, 1080, 0x000000);
    server->run("xdotool mousemove 2400 500");
    auto s = streamer("MAIN", 1);
    s->start(false);
    auto image = nextFrame(s);
    ASSERT_TRUE(image);
    // Something other than black around the hot spot (480, 500) in MAIN's frame.
    int drawn = 0;
    for (int y = 495; y < 520; ++y)
        for (int x = 475; x < 500; ++x)
            drawn += rgb(image->surface()->pixel(x, y)) != 0;
    EXPECT_GT(drawn, 10);
    auto snapshot = Display::main().createImage();
    int inSnapshot = 0;
    for (int y = 495; y < 520; ++y)
        for (int x = 475; x < 500; ++x)
            inSnapshot += rgb(snapshot->pixel(x, y)) != 0;
    EXPECT_EQ(inSnapshot, 0);
}

TEST_P(X11Capture, AStreamEndsWhenItsDisplayGoesAway) {
    auto s = streamer("SIDE", 4);
    s->start(false);
    ASSERT_TRUE(nextFrame(s));
    LogCapture log;
    server->run("xrandr --delmonitor SIDE >/dev/null 2>&1");
    const auto deadline = Clock::now() + std::chrono::seconds(4);
    while (Clock::now() < deadline && !log.contains(LogLevel::Info, "SIDE stream is stopped")) {
        manualMainQueue().drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(log.contains(LogLevel::Info, "SIDE stream is stopped"));
    s->streamQueue()->sync([] {});
    manualMainQueue().drain();
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::Stopped);
    const auto last = s->screenImage();
    EXPECT_TRUE(last); // the last frame stays
    // The display comes back: its stream delivers again, at once.
    server->setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    server->fill(0, 0, 1920, 1080, 0x336699);
    const auto back = nextFrame(s, last);
    ASSERT_TRUE(back);
    EXPECT_EQ(rgb(back->surface()->pixel(200, 100)), 0x336699u);
}

namespace {
// A window of "our own" on the server, which keeps redrawing itself as a preview does.
class RedrawingWindow {
public:
    RedrawingWindow(const std::string& display, int x, int y, int w, int h)
        : c_(xcb_connect(display.c_str(), nullptr)), w_(w), h_(h) {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        const std::uint32_t values[] = {screen->black_pixel, 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, x, y, w, h, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window_);
        gc_ = xcb_generate_id(c_);
        xcb_create_gc(c_, gc_, window_, 0, nullptr);
        free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    }
    ~RedrawingWindow() { xcb_disconnect(c_); }
    void redraw(std::uint32_t rgb) {
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t all = {0, 0, static_cast<std::uint16_t>(w_), static_cast<std::uint16_t>(h_)};
        xcb_poly_fill_rectangle(c_, window_, gc_, 1, &all);
        free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    }

private:
    xcb_connection_t* c_;
    int w_, h_;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
};
} // namespace

TEST_P(X11Capture, SmallChangesAndCursorMovesAreGrabbedAloneAndGiveTheSameFrame) {
    // A frame patched from what changed must equal a frame grabbed whole.
    for (int i = 0; i < 8; ++i)
        server->fill(1920 + i * 240, 0, 240, 1080, 0x101010 * (i + 3));
    server->run("xdotool mousemove 2500 500");
    auto s = streamer("MAIN", 4);
    s->start(false);
    auto last = nextFrame(s);
    ASSERT_TRUE(last);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    manualMainQueue().drain();
    last = s->screenImage();
    auto sameAsAWholeGrab = [&](const std::shared_ptr<const Image>& patched) {
        auto fresh = streamer("MAIN", 4); // its first frame is grabbed whole
        fresh->start(false);
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

    // The cursor moved as a mouse moves it: where it was and where it is are grabbed.
    last = changed;
    for (int i = 0; i < 10; ++i)
        server->run("xdotool mousemove_relative -- 37 11");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    manualMainQueue().drain();
    changed = s->screenImage();
    ASSERT_NE(changed, last);
    EXPECT_TRUE(sameAsAWholeGrab(changed));
    server->run("xdotool mousemove 3800 1000");
}

TEST_P(X11Capture, OurOwnWindowRedrawingIsNoChangeButAChangeBesideItIs) {
    server->fill(1920, 0, 1920, 1080, 0x202020);
    RedrawingWindow preview(server->name(), 2000, 100, 400, 300);
    capture->setOwnWindowAreas({Rect(2000, 100, 400, 300)});
    auto s = streamer("MAIN", 4);
    s->start(false);
    auto last = nextFrame(s);
    ASSERT_TRUE(last);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // frames of the set-up are done
    manualMainQueue().drain();
    last = s->screenImage();
    const auto framesBefore = capture->stats().frames;
    for (int i = 0; i < 60; ++i) { // a second of the preview redrawing itself
        preview.redraw(i % 2 ? 0xFF0000 : 0x0000FF);
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
    manualMainQueue().drain();
    EXPECT_EQ(capture->stats().frames, framesBefore);
    EXPECT_EQ(s->screenImage(), last);
    // Something drawn right beside the window is a change, and the frame shows it.
    server->fill(2400, 100, 100, 100, 0x00FF00);
    const auto changed = nextFrame(s, last);
    ASSERT_TRUE(changed);
    EXPECT_EQ(rgb(changed->surface()->pixel((2450 - 1920) / 4, 150 / 4)), 0x00FF00u);
    capture->setOwnWindowAreas({});
}

namespace {
// Pixmaps and pictures the X server holds for all its clients (X-Resource).
std::uint64_t serverPixmapsAndPictures(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    std::uint64_t count = 0;
    auto atom = [c](const char* name) {
        x11::XcbReply<xcb_intern_atom_reply_t> r(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, std::strlen(name), name), nullptr));
        return r ? r->atom : XCB_NONE;
    };
    const xcb_atom_t pixmap = atom("PIXMAP"), picture = atom("PICTURE");
    x11::XcbReply<xcb_res_query_clients_reply_t> clients(
        xcb_res_query_clients_reply(c, xcb_res_query_clients(c), nullptr));
    for (auto it = xcb_res_query_clients_clients_iterator(clients.get()); clients && it.rem;
         xcb_res_client_next(&it)) {
        x11::XcbReply<xcb_res_query_client_resources_reply_t> r(xcb_res_query_client_resources_reply(
            c, xcb_res_query_client_resources(c, it.data->resource_base), nullptr));
        if (!r)
            continue;
        for (auto t = xcb_res_query_client_resources_types_iterator(r.get()); t.rem; xcb_res_type_next(&t))
            if (t.data->resource_type == pixmap || t.data->resource_type == picture)
                count += t.data->count;
    }
    xcb_disconnect(c);
    return count;
}
} // namespace

TEST_P(X11Capture, ReleasedStreamsGiveBackTheirServerResources) {
    // Open, play and release many times, as popovers do: the X server must not
    // keep a pixmap or picture for any of them.
    auto settle = [&](std::uint64_t expected) {
        std::uint64_t now = 0;
        for (int i = 0; i < 100 && (now = serverPixmapsAndPictures(server->name())) != expected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return now;
    };
    const std::uint64_t before = serverPixmapsAndPictures(server->name());
    std::vector<std::weak_ptr<DisplayStreamer>> gone;
    for (int cycle = 0; cycle < 10; ++cycle) {
        auto controller = std::make_shared<StreamController>(false, 4.0);
        controller->startAll();
        for (const auto& s : controller->streams.get()) {
            ASSERT_TRUE(nextFrame(s));
            gone.push_back(s);
        }
        controller->stopAll(); // what closing a popover does; then the popover goes
        controller.reset();
        manualMainQueue().drain();
    }
    EXPECT_EQ(settle(before), before);
    manualMainQueue().drain();
    for (const auto& weak : gone)
        EXPECT_TRUE(weak.expired());
}

INSTANTIATE_TEST_SUITE_P(Reductions, X11Capture,
                         ::testing::Values(x11::Reduction::Render, x11::Reduction::AreaFilter),
                         [](const auto& info) { return info.param == x11::Reduction::Render ? "Render" : "AreaFilter"; });

TEST(AreaFilter, AveragesEachBlockAndKeepsThinLines) {
    // 8 × 4 source, k = 4: two output pixels. The left block holds one white
    // column (a thin line), the right block is uniform.
    std::vector<std::uint32_t> source(8 * 4, 0xFF000000);
    for (int y = 0; y < 4; ++y) {
        source[y * 8 + 1] = 0xFFFFFFFF;
        for (int x = 4; x < 8; ++x)
            source[y * 8 + x] = 0xFF4080C0;
    }
    std::uint32_t out[2] = {0, 0};
    boxReduce(reinterpret_cast<const std::uint8_t*>(source.data()), 32, 4,
              reinterpret_cast<std::uint8_t*>(out), 8, 2, 1);
    EXPECT_EQ(out[0], 0xFF404040u); // a quarter of white, not lost
    EXPECT_EQ(out[1], 0xFF4080C0u);
}

TEST(CursorDrawing, ScalesAndClipsTheCursor) {
    auto frame = FrameSurface::allocate(10, 10);
    const auto& arrow = builtInArrow();
    // Hot spot at root (100, 100); the frame shows root (96..116) at scale 2.
    drawCursor(*frame, arrow, {100, 100}, Rect(96, 96, 20, 20), 2, 2);
    EXPECT_EQ(frame->pixel(2, 4), 0xFFFFFFFFu); // inside the arrow, below its tip
    EXPECT_EQ(frame->pixel(0, 0), 0u);          // left of and above the hot spot
    EXPECT_EQ(frame->pixel(9, 4), 0u);          // right of the arrow
    drawCursor(*frame, arrow, {-500, -500}, Rect(96, 96, 20, 20), 2, 2); // off the frame: no crash
}

TEST(X11CaptureIdle, AStillDesktopWakesTheCaptureRarelyEvenWhenTheCursorIsRefused) {
    XvfbServer server(1920, 1080);
    ASSERT_TRUE(server.running());
    // A client that sets a root cursor and exits makes Xvfb refuse the cursor image
    // from then on; the capture falls back to its own arrow and must stay quiet.
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
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(1500)) {
        manualMainQueue().drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto stats = capture->stats();
    s->releaseStream();
    manualMainQueue().drain();
    setCaptureService(nullptr);
    setDisplayQueryService(nullptr);
    // The first frame and one for the new cursor shape; a capture that keeps taking
    // the still desktop again (60 frames a second) is the fault this guards against.
    EXPECT_GE(stats.frames, 1u);
    EXPECT_LE(stats.frames, 5u);
    // The pointer is looked at ten times a second once still, plus an idle update a
    // second: a few dozen turns, not one per refresh or more.
    EXPECT_LT(stats.wakeups, 120u);
}
