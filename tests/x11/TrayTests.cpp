// The tray application end to end on a real X server with trayer as the tray host:
// a click on the icon opens the popover and a second closes it, the global shortcut
// does the same, and the popover shows both displays the right way up and follows a
// display unplugged and plugged in again while it is open.

#include "XvfbServer.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

// The application and its tray host on `server`, with no session bus: Qt must not
// wait for one before using the X11 tray.
pid_t spawn(const XvfbServer& server, const std::string& command, const fs::path& config, const fs::path& log = {}) {
    return overlook::test::spawn(command,
                                 {{"DISPLAY", server.name()},
                                  {"XDG_CONFIG_HOME", config.string()},
                                  {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}},
                                 log);
}

struct Window {
    std::string id;
    int x = 0, y = 0, width = 0, height = 0;
};

// The application's windows (only the mapped ones when `visible`), with their
// geometry. The tray icon carries the class but not the title in a form xdotool's
// name search sees, and the tray host's embedded window does not count as visible.
std::vector<Window> overlookWindows(const XvfbServer& server, bool visible) {
    std::vector<Window> windows;
    std::istringstream ids(server.output(std::string("xdotool search ") + (visible ? "--onlyvisible " : "") +
                                         "--class overlook 2>/dev/null"));
    for (std::string id; ids >> id;) {
        Window w{id};
        std::istringstream shell(server.output("xdotool getwindowgeometry --shell " + id));
        for (std::string line; std::getline(shell, line);) {
            const auto eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = line.substr(0, eq);
            const int value = std::atoi(line.c_str() + eq + 1);
            if (key == "X") w.x = value;
            if (key == "Y") w.y = value;
            if (key == "WIDTH") w.width = value;
            if (key == "HEIGHT") w.height = value;
        }
        windows.push_back(w);
    }
    return windows;
}

std::string describe(const std::vector<Window>& windows) {
    std::ostringstream out;
    for (const Window& w : windows)
        out << "\n  window " << w.id << " " << w.width << "x" << w.height << "+" << w.x << "+" << w.y;
    return out.str();
}

std::optional<Window> popover(const XvfbServer& server) {
    for (const Window& w : overlookWindows(server, true))
        if (w.width >= 300) // the tray icon's own window is icon-sized
            return w;
    return std::nullopt;
}

std::optional<Window> trayIcon(const XvfbServer& server) {
    for (const Window& w : overlookWindows(server, false))
        if (w.width > 4 && w.width <= 64 && w.height > 4)
            return w;
    return std::nullopt;
}

} // namespace

TEST(TrayApplication, ClickAndShortcutToggleThePopoverWhichShowsBothDisplaysUpright) {
    if (system("command -v trayer >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "trayer is not installed (scripts/install-deps)";
    XvfbServer server(3840, 1080);
    ASSERT_TRUE(server.running());
    server.setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    // Each display: a white band along its top, its own colour below.
    server.fill(0, 0, 1920, 1080, 0x0000C0);
    server.fill(1920, 0, 1920, 1080, 0x00A000);
    server.fill(0, 0, 3840, 150, 0xFFFFFF);
    server.run("xdotool mousemove 3000 900");

    const fs::path config = fs::temp_directory_path() / ("overlook-tray-" + std::to_string(getpid()));
    fs::create_directories(config);
    // Play the streams when the popover opens, so they are shown in colour.
    ASSERT_EQ(server.run("XDG_CONFIG_HOME=" + config.string() + " " OVERLOOK_BINARY
                         " defaults write autoPlay true --type bool >/dev/null"),
              0);
    const pid_t tray = spawn(server, "trayer --edge top --align right --widthtype request --height 24", config);
    // The application shows its icon once the tray is there; starting it after the
    // tray's panel exists keeps the test from timing the tray's own start-up.
    ASSERT_TRUE(waitFor([&] { return !server.output("xdotool search --name '^panel$' 2>/dev/null").empty(); }))
        << "trayer did not start";
    const pid_t app = spawn(server, OVERLOOK_BINARY, config, config / "app.log");

    std::optional<Window> icon;
    ASSERT_TRUE(waitFor([&] { return (icon = trayIcon(server)).has_value(); }, 20000)) << "no tray icon appeared";
    const std::string clickIcon = "xdotool mousemove " + std::to_string(icon->x + icon->width / 2) + " " +
                                  std::to_string(icon->y + icon->height / 2) + " click 1";

    // A click opens the popover under the icon.
    ASSERT_EQ(server.run(clickIcon), 0);
    std::optional<Window> shown;
    ASSERT_TRUE(waitFor([&] { return (shown = popover(server)).has_value(); })) << "the click opened nothing";
    EXPECT_EQ(shown->width, 600);
    EXPECT_GT(shown->y, icon->y);

    // Its picture: SIDE on the left, MAIN on the right, each with its band on top.
    bool upright = waitFor([&] {
        const auto picture = server.dump("-id " + shown->id);
        if (!picture)
            return false;
        const int pictureHeight = 600 * 1080 / 3840; // both displays scaled to the popover's width
        auto near = [](std::uint32_t c, std::uint32_t want) {
            for (int shift = 0; shift < 24; shift += 8)
                if (std::abs(int((c >> shift) & 0xFF) - int((want >> shift) & 0xFF)) > 24)
                    return false;
            return true;
        };
        return near(picture->at(100, 5), 0xFFFFFF) && near(picture->at(100, pictureHeight - 10), 0x0000C0) &&
               near(picture->at(400, 5), 0xFFFFFF) && near(picture->at(400, pictureHeight - 10), 0x00A000);
    });
    EXPECT_TRUE(upright) << "the popover's picture is not the desktop the right way up";
    // A grey edge all round: the picture alone would melt into a desktop of its colour.
    if (const auto picture = server.dump("-id " + shown->id)) {
        for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 60}, {599, 60}, {300, 0}, {300, shown->height - 1}})
            EXPECT_EQ(picture->at(x, y) & 0xFFFFFF, 0x7F7F7Fu) << "edge at " << x << "," << y;
    }

    // A display unplugged while it is open leaves it (one 16:9 picture is twice as
    // tall at the same width), and comes back when plugged in again.
    server.setMonitors({"MAIN 1920x1080+1920+0"});
    EXPECT_TRUE(waitFor([&] {
        const auto now = popover(server);
        return now && now->height > shown->height + 100;
    })) << "the popover kept the unplugged display" << describe(overlookWindows(server, true));
    server.setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    EXPECT_TRUE(waitFor([&] {
        const auto now = popover(server);
        return now && now->height == shown->height;
    })) << "the popover did not take the display plugged in again" << describe(overlookWindows(server, true));

    // A digit typed over the popover names its display on standard output.
    ASSERT_EQ(server.run("xdotool mousemove " + std::to_string(shown->x + 300) + " " + std::to_string(shown->y + 40) +
                         " key 1"),
              0);
    EXPECT_TRUE(waitFor([&] { return readFile(config / "app.log").find("Toggling display with id 1\n") != std::string::npos; }))
        << readFile(config / "app.log");

    // A second click closes it.
    ASSERT_EQ(server.run(clickIcon), 0);
    EXPECT_TRUE(waitFor([&] { return !popover(server); })) << "the second click did not close the popover"
                                                           << describe(overlookWindows(server, true));

    // The global shortcut opens and closes it too.
    ASSERT_EQ(server.run("xdotool key ctrl+alt+super+p"), 0);
    EXPECT_TRUE(waitFor([&] { return popover(server).has_value(); })) << "the shortcut opened nothing";
    ASSERT_EQ(server.run("xdotool key ctrl+alt+super+p"), 0);
    EXPECT_TRUE(waitFor([&] { return !popover(server); })) << "the shortcut did not close the popover";

    // Any click but the menu's toggles it: the middle button too.
    const std::string middleClick = clickIcon.substr(0, clickIcon.size() - 1) + "2";
    ASSERT_EQ(server.run(middleClick), 0);
    EXPECT_TRUE(waitFor([&] { return popover(server).has_value(); })) << "a middle click opened nothing";
    // Past the double-click time: Qt reports no second middle click within it.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(server.run(middleClick), 0);
    EXPECT_TRUE(waitFor([&] { return !popover(server); })) << "a second middle click did not close the popover";

    // Dragged away, it becomes a window that follows the pointer to where it is
    // dropped: alone, and under openbox (a window manager that moves windows itself).
    const auto dragFollows = [&](const char* how) {
        ASSERT_EQ(server.run(clickIcon), 0);
        std::optional<Window> from;
        ASSERT_TRUE(waitFor([&] { return (from = popover(server)).has_value(); })) << how;
        const int grabX = from->x + 300, grabY = from->y + 100;
        std::string drag = "xdotool mousemove " + std::to_string(grabX) + " " + std::to_string(grabY) + " mousedown 1";
        for (int i = 0; i < 20; ++i)
            drag += " mousemove_relative -- -20 15 sleep 0.03";
        ASSERT_EQ(server.run(drag + " sleep 0.3 mouseup 1"), 0);
        // The pointer went 400 left and 300 down, and stays over the same part of the window.
        EXPECT_TRUE(waitFor([&] {
            const auto now = popover(server);
            return now && std::abs(grabX - 400 - now->x - 300) < 40 && std::abs(grabY + 300 - now->y - 100) < 40;
        })) << how << ": the window stayed behind" << describe(overlookWindows(server, true));
        ASSERT_EQ(server.run(clickIcon), 0);
        EXPECT_TRUE(waitFor([&] { return !popover(server); })) << how;
    };
    dragFollows("without a window manager");
    if (system("command -v openbox >/dev/null 2>&1") == 0) {
        const pid_t wm = spawn(server, "openbox", config);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        dragFollows("under openbox");
        stop(wm);
    }

    stop(app);
    stop(tray);
    fs::remove_all(config);
}
