// The portal capture service in this process against a nested sway (whose outputs
// can be unplugged) with the real portal stack on the session's private bus.

#include "Redraws.h"
#include "tests/wayland/FrameRecorder.h"

#include "Platform/Portal/PortalCaptureService.h"
#include "Platform/Wayland/WaylandDisplayService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>

using namespace overlook;
using namespace std::chrono_literals;
using overlook::test::SwaySession;

namespace {

using Recorder = overlook::test::FrameRecorder;
using overlook::test::idNamed;

} // namespace

TEST(PortalCapture, StreamsGoToTheirDisplaysAndAnUnpluggedOneStopsWithinASecond) {
    SwaySession sway("", SwaySession::Kind::Nested, "--portal");
    ASSERT_TRUE(sway.running());
    // The portal is reached on the session's own bus.
    std::string bus = overlook::test::readFile(sway.stateFolder() + "/portal/bus-address");
    while (!bus.empty() && bus.back() == '\n')
        bus.pop_back();
    ASSERT_FALSE(bus.empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    std::string error;
    auto session = wayland::Session::connect(sway.socketPath().c_str(), error);
    ASSERT_TRUE(session) << error;
    auto capture = std::make_shared<portal::PortalCaptureService>(session, nullptr);
    ASSERT_FALSE(capture->failure()) << *capture->failure();
    wayland::WaylandDisplayService displays(session, capture);
    const wayland::OutputLayout l = session->layout();
    const DisplayID left = idNamed(l, "WL-1"), right = idNamed(l, "WL-2");
    ASSERT_NE(left, 0u);
    ASSERT_NE(right, 0u);

    // Both at once: one dialog each (one output per session here), each picture on
    // its own display (the session's background colours).
    const overlook::test::Redraws redraws(sway, "WL-1", "WL-2");
    auto queue = std::make_shared<DispatchQueue>("test.portal.unplug");
    Recorder kept, unplugged;
    auto keptStream = capture->createStream(left, 480, 270, kPixelFormatBGRA, {}, queue, kept.handler());
    auto goneStream = capture->createStream(right, 320, 256, kPixelFormatBGRA, {}, queue, unplugged.handler());
    keptStream->start();
    goneStream->start();
    EXPECT_TRUE(overlook::test::waitFor([&] { return kept.lastIsAll(0xFF1F4E79u); }, 10000));
    EXPECT_TRUE(overlook::test::waitFor([&] { return unplugged.lastIsAll(0xFF7F3F00u); }, 10000));
    // The portal sends no cursor metadata: the pointer stays unknown, no crosshair.
    const Point mouse = displays.mouseLocation();
    EXPECT_TRUE(std::isnan(mouse.x) && std::isnan(mouse.y));

    // No Session.Closed comes for an unplugged output; its stream still stops at once.
    ASSERT_TRUE(sway.removeOutput("WL-2"));
    const auto removed = std::chrono::steady_clock::now();
    ASSERT_TRUE(overlook::test::waitFor([&] { return unplugged.count(FrameStatus::Stopped) == 1; }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - removed, 1000ms);

    // The other stream goes on.
    ASSERT_TRUE(sway.swaymsg("output WL-1 bg '#00ff00' solid_color"));
    EXPECT_TRUE(overlook::test::waitFor([&] { return kept.lastIsAll(0xFF00FF00u); }, 10000));
    // 10 bits a colour from here on: the stream's format changes while a buffer is
    // held (it goes back unread) and the pictures go on in xRGB_210LE.
    ASSERT_TRUE(sway.swaymsg("output WL-1 render_bit_depth 10"));
    ASSERT_TRUE(sway.swaymsg("output WL-1 bg '#ff8000' solid_color"));
    EXPECT_TRUE(overlook::test::waitFor([&] { return kept.lastIsAll(0xFFFF8000u); }, 10000));
    EXPECT_EQ(kept.count(FrameStatus::Stopped), 0);
    EXPECT_FALSE(capture->failure());
    goneStream.reset();
    keptStream.reset();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}
