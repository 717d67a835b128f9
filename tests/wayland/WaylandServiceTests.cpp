
#include "FrameRecorder.h"
#include "tests/support/DesktopSession.h"

#include "Platform/Wayland/Session.h"
#include "Platform/Wayland/WaylandCaptureService.h"
#include "Platform/Wayland/WaylandDisplayService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <mutex>
#include <set>
#include <thread>

using namespace overlook;
using namespace overlook::wayland;
using overlook::test::DesktopSession;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<Session> connectTo(const DesktopSession& sway) {
    std::string error;
    auto session = Session::connect(sway.socketPath().c_str(), error);
    EXPECT_TRUE(session) << error;
    return session;
}

using Recorder = overlook::test::FrameRecorder;
using overlook::test::idNamed;
using overlook::test::waitFor;

} // namespace

TEST(WaylandDisplays, MatchTheCompositorAndFollowItsChanges) {
    DesktopSession sway("wayland");
    ASSERT_TRUE(sway.running()) << sway.failure();
    auto session = connectTo(sway);
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->canCopyScreens());
    WaylandDisplayService displays(session);

    const OutputLayout l = session->layout();
    const DisplayID left = idNamed(l, "HEADLESS-1"), right = idNamed(l, "HEADLESS-2");
    ASSERT_NE(left, 0u);
    ASSERT_NE(right, 0u);
    EXPECT_EQ(displays.activeDisplayList(8), (std::vector<DisplayID>{left, right}));
    EXPECT_EQ(displays.activeDisplayList(1).size(), 1u);
    EXPECT_NE(displays.unitNumber(left), displays.unitNumber(right));
    const auto screens = displays.screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[1].displayNumber, std::int64_t(right));
    EXPECT_EQ(screens[1].frame, Rect(1920, 56, 1280, 1024)); // y-up from the main output's bottom
    const Point mouse = displays.mouseLocation(); // no global pointer on Wayland
    EXPECT_TRUE(std::isnan(mouse.x) && std::isnan(mouse.y));

    auto again = connectTo(sway); // ids come from what names an output
    EXPECT_EQ(again->layout().outputs, l.outputs);

    std::mutex mutex;
    std::set<DisplayID> told;
    auto token = displays.subscribeReconfiguration([&](DisplayID id) {
        std::lock_guard lock(mutex);
        told.insert(id);
    });
    auto toldOf = [&](DisplayID id) {
        std::lock_guard lock(mutex);
        return told.count(id) > 0;
    };
    const std::string added = sway.addOutput("800x600+0+1080");
    ASSERT_FALSE(added.empty());
    DisplayID addedId = 0;
    // sway shows a new output at its own place first, then at the one asked for.
    EXPECT_TRUE(waitFor([&] {
        return (addedId = idNamed(session->layout(), added)) != 0 && toldOf(addedId) &&
               displays.bounds(addedId) == Rect(0, 1080, 800, 600);
    })) << displays.bounds(addedId).x << "," << displays.bounds(addedId).y;
    EXPECT_EQ(displays.activeDisplayList(8).size(), 3u);

    ASSERT_TRUE(sway.swaymsg("output HEADLESS-2 pos 1920 100"));
    ASSERT_TRUE(waitFor([&] { return toldOf(right) && displays.bounds(right) == Rect(1920, 100, 1280, 1024); }));

    // The output now at the origin becomes main; both moves may be seen one at a time.
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-1 pos 3200 0"));
    ASSERT_TRUE(sway.swaymsg("output " + added + " pos 0 0"));
    EXPECT_TRUE(waitFor([&] {
        return displays.mainDisplayID() == addedId && displays.bounds(left) == Rect(3200, 0, 1920, 1080);
    })) << displays.bounds(left).x << "," << displays.bounds(left).y;
}

TEST(WaylandCapture, StreamsCarryEachOutputsPixelsAtAnySizeAndIdleWhenStill) {
    DesktopSession sway("wayland");
    ASSERT_TRUE(sway.running()) << sway.failure();
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-1 bg '#10c040' solid_color"));
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-2 bg '#ff0000' solid_color"));
    auto session = connectTo(sway);
    ASSERT_TRUE(session);
    WaylandCaptureService capture(session);
    const OutputLayout l = session->layout();
    auto queue = std::make_shared<DispatchQueue>("test.wayland.stream");

    Recorder small, uneven; // the area filter and an uneven factor
    auto rightStream = capture.createStream(idNamed(l, "HEADLESS-2"), 320, 256, kPixelFormatBGRA, {}, queue,
                                            small.handler());
    auto leftStream = capture.createStream(idNamed(l, "HEADLESS-1"), 1280, 720, kPixelFormatBGRA, {}, queue,
                                           uneven.handler());
    ASSERT_TRUE(rightStream && leftStream);
    EXPECT_FALSE(capture.createStream(idNamed(l, "HEADLESS-1"), 0, 10, kPixelFormatBGRA, {}, queue, {}));
    rightStream->start();
    leftStream->start();
    ASSERT_TRUE(waitFor([&] { return small.lastIsAll(0xFFFF0000u); }));
    ASSERT_TRUE(waitFor([&] { return uneven.lastIsAll(0xFF10C040u); }));
    {
        std::lock_guard lock(small.mutex);
        EXPECT_EQ(small.last->width(), 320);
        EXPECT_EQ(small.last->height(), 256);
    }

    std::this_thread::sleep_for(300ms);
    const int framesBefore = small.frameCount(), idleBefore = small.count(FrameStatus::FrameIdle);
    std::this_thread::sleep_for(2300ms);
    EXPECT_LE(small.frameCount() - framesBefore, 1);
    const int idles = small.count(FrameStatus::FrameIdle) - idleBefore;
    EXPECT_GE(idles, 1);
    EXPECT_LE(idles, 3);

    ASSERT_TRUE(sway.swaymsg("output HEADLESS-2 bg '#0000ff' solid_color"));
    EXPECT_TRUE(waitFor([&] { return small.lastIsAll(0xFF0000FFu); }, 2000));
    // swaybg restarts on every output for that: the other one flickers grey and back.
    EXPECT_TRUE(waitFor([&] { return uneven.lastIsAll(0xFF10C040u); }, 2000));
    // 10 bits a colour while streaming: copies come as XRGB2101010.
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-1 render_bit_depth 10"));
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-1 bg '#c08020' solid_color"));
    EXPECT_TRUE(waitFor([&] { return uneven.lastIsAll(0xFFC08020u); }, 2000));

    rightStream->stop();
    EXPECT_TRUE(waitFor([&] { return small.count(FrameStatus::Stopped) == 1; }));
    const int framesAtStop = small.frameCount();
    rightStream->start();
    EXPECT_TRUE(waitFor([&] { return small.frameCount() > framesAtStop; }, 1000));
    EXPECT_EQ(small.count(FrameStatus::Stopped), 1);
    EXPECT_FALSE(capture.failure());

    rightStream.reset();
    const int framesAtEnd = small.frameCount();
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-2 bg '#ffffff' solid_color"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(small.frameCount(), framesAtEnd);
    EXPECT_GT(capture.stats().frames, 0u);
}

TEST(WaylandCapture, AnUnpluggedOutputStopsItsStreamTheOthersGoOnAndAllStopWhenTheCompositorGoes) {
    DesktopSession sway("wayland", "--nested");
    ASSERT_TRUE(sway.running()) << sway.failure();
    auto session = connectTo(sway);
    ASSERT_TRUE(session);
    WaylandCaptureService capture(session);
    WaylandDisplayService displays(session);
    const OutputLayout l = session->layout();
    const DisplayID left = idNamed(l, "WL-1"), right = idNamed(l, "WL-2");
    ASSERT_NE(left, 0u);
    ASSERT_NE(right, 0u);
    std::atomic<int> reconfigured{0};
    auto token = displays.subscribeReconfiguration([&](DisplayID id) {
        if (id == right)
            ++reconfigured;
    });
    auto queue = std::make_shared<DispatchQueue>("test.wayland.unplug");
    Recorder kept, unplugged;
    auto keptStream = capture.createStream(left, 480, 270, kPixelFormatBGRA, {}, queue, kept.handler());
    auto goneStream = capture.createStream(right, 320, 256, kPixelFormatBGRA, {}, queue, unplugged.handler());
    keptStream->start();
    goneStream->start();
    ASSERT_TRUE(waitFor([&] { return kept.frameCount() > 0 && unplugged.frameCount() > 0; }));

    ASSERT_TRUE(sway.removeOutput("WL-2"));
    const auto removed = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return unplugged.count(FrameStatus::Stopped) == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - removed, 1500ms);
    EXPECT_TRUE(waitFor([&] { return reconfigured > 0; }));
    EXPECT_EQ(displays.activeDisplayList(8), std::vector<DisplayID>{left});
    EXPECT_EQ(displays.bounds(right), Rect{});
    EXPECT_EQ(displays.createImage(right), nullptr);

    ASSERT_TRUE(sway.swaymsg("output WL-1 bg '#00ff00' solid_color"));
    EXPECT_TRUE(waitFor([&] { return kept.lastIsAll(0xFF00FF00u); }));
    EXPECT_EQ(kept.count(FrameStatus::Stopped), 0);
    EXPECT_FALSE(capture.failure());
    EXPECT_FALSE(session->lost());
    goneStream.reset();

    // The compositor dies (held still first) with two streams and a snapshot under way:
    // the snapshot ends with the loss at once, not after the copy's timeout.
    Recorder second;
    auto secondStream = capture.createStream(left, 320, 180, kPixelFormatBGRA, {}, queue, second.handler());
    secondStream->start();
    ASSERT_TRUE(waitFor([&] { return second.frameCount() > 0; }));
    EXPECT_FALSE(displays.failure());
    ASSERT_EQ(sway.run("kill -STOP " + std::to_string(sway.pid("pid"))), 0);
    auto snapshot = std::async(std::launch::async, [&] { return displays.createImage(left); });
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(sway.run("kill -KILL " + std::to_string(sway.pid("pid"))), 0);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(snapshot.wait_for(1500ms), std::future_status::ready);
    EXPECT_EQ(snapshot.get(), nullptr);
    ASSERT_TRUE(displays.failure());
    EXPECT_EQ(*displays.failure(), "The connection to the Wayland compositor was lost");
    ASSERT_TRUE(waitFor([&] { return kept.count(FrameStatus::Stopped) == 1 && second.count(FrameStatus::Stopped) == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 1500ms);
    ASSERT_TRUE(capture.failure());
    EXPECT_NE(capture.failure()->find("Wayland compositor"), std::string::npos);
    EXPECT_TRUE(session->lost());
    EXPECT_EQ(displays.createImage(left), nullptr);
    keptStream->stop();
    EXPECT_TRUE(waitFor([&] { return kept.count(FrameStatus::Stopped) == 2; }));
}
