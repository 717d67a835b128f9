
#include "Redraws.h"
#include "tests/support/DesktopSession.h"
#include "tests/wayland/FrameRecorder.h"

#include "Platform/Portal/PortalCaptureService.h"
#include "Platform/Wayland/WaylandDisplayService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

using namespace overlook;
using namespace std::chrono_literals;
using overlook::test::DesktopSession;

namespace {

using Recorder = overlook::test::FrameRecorder;
using overlook::test::idNamed;

} // namespace

TEST(PortalCapture, StreamsGoToTheirDisplaysAndAnUnpluggedOneStopsWithinASecond) {
    DesktopSession sway("wayland", "--nested --portal");
    ASSERT_TRUE(sway.running()) << sway.failure();
    ASSERT_NE(sway.variable("DBUS_SESSION_BUS_ADDRESS"), "");
    const overlook::test::ScopedEnvironment bus({{"DBUS_SESSION_BUS_ADDRESS", sway.variable("DBUS_SESSION_BUS_ADDRESS")}});
    std::string error;
    auto session = wayland::Session::connect(sway.socketPath().c_str(), error);
    ASSERT_TRUE(session) << error;
    auto capture = std::make_shared<portal::PortalCaptureService>(session, nullptr);
    ASSERT_FALSE(capture->failure()) << *capture->failure();
    auto displays = std::make_unique<wayland::WaylandDisplayService>(session, capture);
    const wayland::OutputLayout l = session->layout();
    const DisplayID left = idNamed(l, "WL-1"), right = idNamed(l, "WL-2");
    ASSERT_NE(left, 0u);
    ASSERT_NE(right, 0u);

    // Both at once, one dialog each: each picture (the session's colours) on its own display.
    const overlook::test::Redraws redraws(sway, "WL-1", "WL-2");
    auto queue = std::make_shared<DispatchQueue>("test.portal.unplug");
    Recorder kept, unplugged;
    auto keptStream = capture->createStream(left, 480, 270, kPixelFormatBGRA, {}, queue, kept.handler());
    auto goneStream = capture->createStream(right, 320, 256, kPixelFormatBGRA, {}, queue, unplugged.handler());
    keptStream->start();
    goneStream->start();
    EXPECT_TRUE(overlook::test::waitFor([&] { return kept.lastIsAll(0xFF1F4E79u); }, 10000));
    EXPECT_TRUE(overlook::test::waitFor([&] { return unplugged.lastIsAll(0xFF7F3F00u); }, 10000));
    const Point mouse = displays->mouseLocation();
    EXPECT_TRUE(std::isnan(mouse.x) && std::isnan(mouse.y)); // no cursor metadata from this portal

    // No Session.Closed comes for an unplugged output; its stream still stops at once.
    ASSERT_TRUE(sway.removeOutput("WL-2"));
    const auto removed = std::chrono::steady_clock::now();
    ASSERT_TRUE(overlook::test::waitFor([&] { return unplugged.count(FrameStatus::Stopped) == 1; }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - removed, 1000ms);

    ASSERT_TRUE(sway.swaymsg("output WL-1 bg '#00ff00' solid_color"));
    EXPECT_TRUE(overlook::test::waitFor([&] { return kept.lastIsAll(0xFF00FF00u); }, 10000));
    // 10 bits: the format changes while a buffer is held, the pictures go on in xRGB_210LE.
    ASSERT_TRUE(sway.swaymsg("output WL-1 render_bit_depth 10"));
    ASSERT_TRUE(sway.swaymsg("output WL-1 bg '#ff8000' solid_color"));
    EXPECT_TRUE(overlook::test::waitFor([&] { return kept.lastIsAll(0xFFFF8000u); }, 10000));
    EXPECT_EQ(kept.count(FrameStatus::Stopped), 0);
    EXPECT_FALSE(capture->failure());
    goneStream.reset();
    keptStream.reset();

    // A snapshot still waiting for its dialog when the service goes ends without a picture.
    const std::string added = sway.addOutput("800x600+1920+0");
    DisplayID third = 0;
    ASSERT_TRUE(overlook::test::waitFor([&] { return (third = idNamed(session->layout(), added)) != 0; }, 5000));
    const std::filesystem::path dialogs = sway.folder() / "portal" / "chooser.log";
    const std::string dialogsBefore = overlook::test::readFile(dialogs);
    std::ofstream(sway.folder() / "portal" / "choices") << "wait\n";
    FrameSurfacePtr late = FrameSurface::allocate(1, 1);
    std::thread taking([&late, service = capture.get(), third] { late = service->snapshot(third); });
    EXPECT_TRUE(overlook::test::waitFor([&] { return overlook::test::readFile(dialogs) != dialogsBefore; }, 10000));
    const auto closing = std::chrono::steady_clock::now();
    displays.reset();
    capture.reset();
    taking.join();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s);
    EXPECT_FALSE(late);
}

// kwin 5.27 sends no pixels for monitor streams here: equal outputs, streams without places.
TEST(PortalCapture, KdeStreamsWithoutPlacesFollowThePointerAndComeBackAfterAnOutputReturns) {
#ifndef KWIN_FAKE_INPUT
    GTEST_SKIP() << "plasma-wayland-protocols is not installed (scripts/install-deps)";
#else
    const overlook::test::DesktopSession kde("kde");
    ASSERT_TRUE(kde.running()) << kde.failure();
    setenv("DBUS_SESSION_BUS_ADDRESS", kde.variable("DBUS_SESSION_BUS_ADDRESS").c_str(), 1);
    std::string error;
    auto session = wayland::Session::connect((kde.variable("XDG_RUNTIME_DIR") + "/wayland-0").c_str(), error);
    ASSERT_TRUE(session) << error;
    struct Tokens final : portal::RestoreTokenStore {
        std::string granted;
        mutable std::mutex mutex;
        std::map<DisplayID, std::string> kept;
        std::string token(DisplayID d) const override {
            std::lock_guard lock(mutex);
            return kept.count(d) ? kept.at(d) : granted;
        }
        void setToken(DisplayID d, const std::string& t) override {
            std::lock_guard lock(mutex);
            kept[d] = t;
        }
    };
    auto tokens = std::make_shared<Tokens>();
    tokens->granted = kde.variable("OVERLOOK_KDE_TOKEN");
    auto capture = std::make_shared<portal::PortalCaptureService>(session, tokens);
    ASSERT_FALSE(capture->failure()) << *capture->failure();
    wayland::WaylandDisplayService displays(session, capture);
    const DisplayID left = idNamed(session->layout(), "Virtual-0"), right = idNamed(session->layout(), "Virtual-1");
    ASSERT_NE(left, 0u);
    ASSERT_NE(right, 0u);
    auto queue = std::make_shared<DispatchQueue>("test.portal.kde");
    Recorder leftFrames, rightFrames;
    auto leftStream = capture->createStream(left, 480, 270, kPixelFormatBGRA, {}, queue, leftFrames.handler());
    auto rightStream = capture->createStream(right, 480, 270, kPixelFormatBGRA, {}, queue, rightFrames.handler());
    leftStream->start();
    rightStream->start();

    // kwin sends metadata only as the pointer moves on a running stream: moved until then.
    const auto pointerGoesTo = [&](int x, int y) {
        int nudge = 0;
        return overlook::test::waitFor([&] {
            kde.run(std::string(KWIN_FAKE_INPUT " move ") + std::to_string(x + (nudge++ % 2)) + " " + std::to_string(y));
            std::this_thread::sleep_for(200ms);
            const Point p = displays.mouseLocation();
            return std::abs(p.x - x) < 2 && std::abs(p.y - (1080 - y)) < 2;
        }, 10000);
    };
    EXPECT_TRUE(pointerGoesTo(2500, 300)) << displays.mouseLocation().x << "," << displays.mouseLocation().y;
    EXPECT_TRUE(pointerGoesTo(400, 700)) << displays.mouseLocation().x << "," << displays.mouseLocation().y;

    ASSERT_EQ(kde.run("QT_QPA_PLATFORM=wayland kscreen-doctor output.Virtual-1.disable >/dev/null 2>&1"), 0);
    EXPECT_TRUE(overlook::test::waitFor([&] { return rightFrames.count(FrameStatus::Stopped) == 1; }, 5000));
    ASSERT_EQ(kde.run("QT_QPA_PLATFORM=wayland kscreen-doctor output.Virtual-1.enable >/dev/null 2>&1"), 0);
    ASSERT_TRUE(overlook::test::waitFor([&] { return idNamed(session->layout(), "Virtual-1") == right; }, 5000));
    Recorder returned;
    rightStream = capture->createStream(right, 480, 270, kPixelFormatBGRA, {}, queue, returned.handler());
    rightStream->start();
    EXPECT_TRUE(pointerGoesTo(2000, 100)) << displays.mouseLocation().x << "," << displays.mouseLocation().y;
    EXPECT_EQ(returned.count(FrameStatus::Stopped), 0);
    EXPECT_EQ(leftFrames.count(FrameStatus::Stopped), 0);
    EXPECT_FALSE(capture->failure());
    rightStream.reset();
    leftStream.reset();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
#endif
}
