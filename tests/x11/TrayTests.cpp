
#include "XvfbServer.h"
#include "tests/overlook/PngDecode.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace overlook::test;

namespace {

std::string describe(const std::vector<XWindow>& windows) {
    std::ostringstream out;
    for (const XWindow& w : windows)
        out << "\n  window " << w.id << " " << w.width << "x" << w.height << "+" << w.x << "+" << w.y;
    return out.str();
}

} // namespace

TEST(TrayApplication, ClickAndShortcutToggleThePopoverWhichShowsBothDisplaysUpright) {
    if (system("command -v trayer >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "trayer is not installed (scripts/install-deps)";
    XvfbServer server(3840, 1080);
    ASSERT_TRUE(server.running());
    server.setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    server.fill(0, 0, 1920, 1080, 0x0000C0);
    server.fill(1920, 0, 1920, 1080, 0x00A000);
    server.fill(0, 0, 3840, 150, 0xFFFFFF);
    server.run("xdotool mousemove 3000 900");

    const ScratchFolder config("tray");
    const std::map<std::string, std::string> env{{"DISPLAY", server.name()},
                                                 {"XDG_CONFIG_HOME", config.path().string()},
                                                 {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    const auto log = [&] { return readFile(config / "app.log"); };
    ASSERT_EQ(exitStatusWithin(spawn(OVERLOOK_BINARY " defaults write autoPlay true --type bool", env), 10000), 0);
    const pid_t tray = server.startTrayer();
    ASSERT_GT(tray, 0) << "trayer did not start";
    const pid_t app = spawn(OVERLOOK_BINARY, env, config / "app.log");

    std::vector<XWindow> icons;
    ASSERT_TRUE(waitFor([&] { return !(icons = server.trayIcons()).empty(); }, 20000)) << "no tray icon appeared";
    const XWindow* icon = &icons[0];
    EXPECT_TRUE(waitFor([&] { return log().find("overlook: no session bus") != std::string::npos; })) << log();
    const std::string clickIcon = "xdotool mousemove " + std::to_string(icon->x + icon->width / 2) + " " +
                                  std::to_string(icon->y + icon->height / 2) + " click ";
    const auto toggles = [&](const std::string& how, const std::string& input) {
        ASSERT_EQ(server.run(input), 0) << how;
        EXPECT_TRUE(waitFor([&] { return server.popover().has_value(); })) << how << " opened nothing";
        std::this_thread::sleep_for(std::chrono::milliseconds(700)); // past the double-click time
        ASSERT_EQ(server.run(input), 0) << how;
        EXPECT_TRUE(waitFor([&] { return !server.popover(); })) << how << " did not close the popover"
                                                                << describe(server.overlookWindows());
    };

    ASSERT_EQ(server.run(clickIcon + "1"), 0);
    std::optional<XWindow> shown;
    ASSERT_TRUE(waitFor([&] { return (shown = server.popover()).has_value(); })) << "the click opened nothing";
    EXPECT_EQ(shown->width, 600);
    EXPECT_GT(shown->y, icon->y);
    // Centred on the icon as far as the monitor allows.
    const int iconCentre = icon->x + icon->width / 2, monitorLeft = iconCentre < 1920 ? 0 : 1920;
    EXPECT_NEAR(shown->x, std::clamp(iconCentre - 300, monitorLeft, monitorLeft + 1920 - 600), 2) << iconCentre;

    const int pictureHeight = 600 * 1080 / 3840;
    EXPECT_TRUE(waitFor([&] {
        const auto picture = server.dump(shown->id);
        const auto at = [&](int x, int y, std::uint32_t want) { return near(picture->at(x, y), want, 24); };
        return picture && at(100, 5, 0xFFFFFF) && at(100, pictureHeight - 10, 0x0000C0) && at(400, 5, 0xFFFFFF) &&
               at(400, pictureHeight - 10, 0x00A000);
    })) << "the popover's picture is not the desktop the right way up";
    // A grey edge, lest the picture melt into a desktop of its colour.
    const auto picture = server.dump(shown->id);
    ASSERT_TRUE(picture);
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 60}, {599, 60}, {300, 0}, {300, shown->height - 1}})
        EXPECT_EQ(picture->at(x, y), 0x7F7F7Fu) << "edge at " << x << "," << y;

    // Unplugged while open: one 16:9 picture is twice as tall at the same width.
    server.setMonitors({"MAIN 1920x1080+1920+0"});
    EXPECT_TRUE(waitFor([&] {
        const auto now = server.popover();
        return now && now->height > shown->height + 100;
    })) << "the popover kept the unplugged display" << describe(server.overlookWindows());
    server.setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    EXPECT_TRUE(waitFor([&] {
        const auto now = server.popover();
        return now && now->height == shown->height;
    })) << "the popover did not take the display plugged in again" << describe(server.overlookWindows());

    ASSERT_EQ(server.run("xdotool mousemove " + std::to_string(shown->x + 300) + " " + std::to_string(shown->y + 40) +
                         " key 1"),
              0);
    EXPECT_TRUE(waitFor([&] { return log().find("Toggling display with id 1\n") != std::string::npos; })) << log();

    ASSERT_EQ(server.run(clickIcon + "1"), 0);
    EXPECT_TRUE(waitFor([&] { return !server.popover(); })) << "the second click did not close the popover"
                                                           << describe(server.overlookWindows());
    // The icon's monitor shorter than the popover: it opens at that monitor's top, not above the screen.
    const std::string tall = "1920x1080", low = "1920x120";
    server.setMonitors({"MAIN " + (monitorLeft ? low : tall) + "+1920+0", "SIDE " + (monitorLeft ? tall : low) + "+0+0"});
    std::this_thread::sleep_for(std::chrono::seconds(1)); // for the application to hear of it
    ASSERT_EQ(server.run(clickIcon + "1"), 0);
    EXPECT_TRUE(waitFor([&] {
        const auto now = server.popover();
        return now && now->y == 0 && now->height > 120;
    })) << describe(server.overlookWindows());
    ASSERT_EQ(server.run("xdotool key ctrl+alt+super+p"), 0); // it covers the icon now
    EXPECT_TRUE(waitFor([&] { return !server.popover(); }));
    server.setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    toggles("the shortcut", "xdotool key ctrl+alt+super+p");
    toggles("a middle click", clickIcon + "2");

    // Dragged away, it follows the pointer; openbox moves windows itself.
    const auto dragFollows = [&](const char* how) {
        ASSERT_EQ(server.run(clickIcon + "1"), 0);
        std::optional<XWindow> from;
        ASSERT_TRUE(waitFor([&] { return (from = server.popover()).has_value(); })) << how;
        const int grabX = from->x + 300, grabY = from->y + 100;
        std::string drag = "xdotool mousemove " + std::to_string(grabX) + " " + std::to_string(grabY) + " mousedown 1";
        for (int i = 0; i < 20; ++i)
            drag += " mousemove_relative -- -20 15 sleep 0.03";
        ASSERT_EQ(server.run(drag + " sleep 0.3 mouseup 1"), 0);
        EXPECT_TRUE(waitFor([&] {
            const auto now = server.popover();
            return now && std::abs(grabX - 400 - now->x - 300) < 40 && std::abs(grabY + 300 - now->y - 100) < 40;
        })) << how << ": the window stayed behind" << describe(server.overlookWindows());
        ASSERT_EQ(server.run(clickIcon + "1"), 0);
        EXPECT_TRUE(waitFor([&] { return !server.popover(); })) << how;
    };
    dragFollows("without a window manager");
    if (system("command -v openbox >/dev/null 2>&1") == 0) {
        const pid_t wm = spawn("openbox", env);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        dragFollows("under openbox");
        stop(wm);
    }
    stop(app);
    stop(tray);
}
