
#include "tests/overlook/PngDecode.h"
#include "tests/support/DesktopSession.h"
#include "tests/support/Processes.h"
#include "tests/tray/StatusNotifierHost.h"
#include "tests/wayland_tray/SwayWindows.h"

#include "Foundation/MainQueue.h"
#include "Platform/PortalShortcuts/PortalHotKeyService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>

using namespace overlook;
using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

const std::string kOverlook = OVERLOOK_BINARY;
const std::string kApp = OVERLOOK_APP_BINARY;
constexpr const char* kBackendName = "org.freedesktop.impl.portal.desktop.overlooktest";

std::optional<SwayWindow> popoverRect(const DesktopSession& sway) {
    for (const SwayWindow& w : overlookWindows(sway))
        if (w.floating && w.title == "Overlook")
            return w;
    return std::nullopt;
}

// The application in a session (NAME='value' words) with a settings folder of its own.
class TrayApp {
public:
    TrayApp(const std::string& environment, const ScratchFolder& home, bool autoPlay = false) : home_(home) {
        const std::string env = "env -u DISPLAY -u QT_QPA_PLATFORM " + environment + " HOME='" + home.path().string() + "' ";
        if (autoPlay && std::system((env + kOverlook + " defaults write autoPlay true --type bool >/dev/null").c_str()) != 0)
            ADD_FAILURE() << "autoPlay was not written";
        pid_ = spawn(env + kApp, {}, home / "app.log");
    }
    ~TrayApp() { stop(pid_); }
    int exitStatus(int limitMs) {
        const int status = exitStatusWithin(pid_, limitMs);
        pid_ = status == -1 ? pid_ : -1;
        return status;
    }
    std::string log() const { return readFile(home_ / "app.log"); }
    bool logs(const std::string& line, int limitMs = 8000) const {
        return waitFor([&] { return log().find(line) != std::string::npos; }, limitMs);
    }
    // Whether the desktop took the shortcut; a refusal ends the wait at once.
    bool shortcutBound(int limitMs = 8000) const {
        const auto said = [&](const char* what) { return log().find(what) != std::string::npos; };
        waitFor([&] { return said("The desktop bound the shortcut") || said("The shortcut is not active"); }, limitMs);
        return said("The desktop bound the shortcut");
    }

private:
    const ScratchFolder& home_;
    pid_t pid_ = -1;
};

} // namespace

TEST(WaylandTray, TheIconAndItsMenuOpenThePopoverWhichShowsBothOutputs) {
    DesktopSession sway("wayland", "--tray");
    ASSERT_TRUE(sway.running()) << sway.failure();
    const ScratchFolder home("wayland-tray");
    TrayApp app(sway.environment(), home, true);

    StatusNotifierHost host(sway.variable("DBUS_SESSION_BUS_ADDRESS"));
    std::string item;
    ASSERT_TRUE(waitFor([&] {
        const auto items = host.items();
        item = items.empty() ? "" : items.front();
        return !item.empty();
    })) << app.log();
    EXPECT_TRUE(app.logs("Session: toolkit wayland, display back end Wayland, tray StatusNotifierItem, "
                         "shortcut compositor binding"))
        << app.log();
    const auto activate = [&] { return host.activate(item, 0, 0); };

    ASSERT_TRUE(activate());
    std::optional<SwayWindow> popover;
    ASSERT_TRUE(waitFor([&] { return (popover = popoverRect(sway)).has_value(); })) << app.log();

    const fs::path shot = home / "popover.png";
    const std::string geometry = std::to_string(popover->x) + "," + std::to_string(popover->y) + " " +
                                 std::to_string(popover->width) + "x" + std::to_string(popover->height);
    const auto colourAt = [&](double fx, double fy) -> std::uint32_t {
        if (sway.run("grim -g '" + geometry + "' '" + shot.string() + "'") != 0)
            return 0;
        const auto png = decodePng(shot);
        return png ? png->at(int(png->width * fx), int(png->height * fy)) : 0;
    };
    EXPECT_TRUE(waitFor([&] { return colourAt(0.08, 0.5) == 0xFF1F4E79u; })) << std::hex << colourAt(0.08, 0.5);
    EXPECT_TRUE(waitFor([&] { return colourAt(0.8, 0.5) == 0xFF7F3F00u; })) << std::hex << colourAt(0.8, 0.5);

    ASSERT_TRUE(activate());
    EXPECT_TRUE(waitFor([&] { return !popoverRect(sway); }));

    EXPECT_EQ(host.property(item, "Status").value_or(host.error()), "Active"); // panels hide passive items
    ASSERT_TRUE(host.clickMenuEntry(item, "Show Previews")) << host.error();
    EXPECT_TRUE(waitFor([&] { return popoverRect(sway).has_value(); }));
    ASSERT_TRUE(host.clickMenuEntry(item, "Show Previews")) << host.error();
    EXPECT_TRUE(waitFor([&] { return !popoverRect(sway); }));

    ASSERT_TRUE(host.clickMenuEntry(item, "Quit")) << host.error();
    EXPECT_EQ(app.exitStatus(10000), 0) << app.log();
    EXPECT_TRUE(waitFor([&] { return host.items().empty(); })) << "the item stayed after the application quit";
}

TEST(PortalShortcuts, TheDesktopBindsTheShortcutItsPressesOpenThePopoverAndNewRecordingsAreHandedOn) {
    const ScratchFolder extra("portal-extra");
    std::ofstream(extra / "overlook-test.portal")
        << "[portal]\nDBusName=" << kBackendName << "\nInterfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=sway\n";
    std::ofstream(extra / (std::string(kBackendName) + ".service"))
        << "[D-BUS Service]\nName=" << kBackendName << "\nExec=" << SHORTCUTS_BACKEND << " " << kBackendName << " "
        << (extra / "bindings.log").string() << "\n";
    const auto sway = [&] {
        const ScopedEnvironment portals({{"OVERLOOK_PORTAL_EXTRA", extra.path()}});
        return std::make_unique<DesktopSession>("wayland", "--tray");
    }();
    const auto bindings = [&] { return readFile(extra / "bindings.log"); };
    const auto keys = [&](const std::string& call) {
        return sway->run(std::string("busctl --user call ") + kBackendName +
                          " /org/freedesktop/portal/desktop io.overlook.test.Keys " + call + " >/dev/null");
    };
    const auto press = [&](const std::string& id) { return keys("Press s " + id); };
    ASSERT_TRUE(sway->running()) << sway->failure();
    {
        const ScratchFolder home("wayland-shortcut");
        TrayApp app(sway->environment(), home, true);
        ASSERT_TRUE(app.shortcutBound() && app.logs("Session: ")) << app.log() << bindings();
        EXPECT_NE(app.log().find("bound the shortcut to CTRL+ALT+LOGO+p"), std::string::npos) << app.log();
        EXPECT_NE(app.log().find("shortcut GlobalShortcuts portal"), std::string::npos) << app.log();
        std::smatch m;
        const std::string offered = bindings();
        ASSERT_TRUE(std::regex_search(offered, m, std::regex("bind (hotkey-\\S+) CTRL\\+ALT\\+LOGO\\+p\\|Show Overlook")))
            << offered;
        const std::string id = m[1];
        ASSERT_EQ(press(id), 0);
        EXPECT_TRUE(waitFor([&] { return popoverRect(*sway).has_value(); })) << app.log();
        ASSERT_EQ(press(id), 0);
        EXPECT_TRUE(waitFor([&] { return !popoverRect(*sway); })) << app.log();
    }

    // The service on its own, as the shortcut registry drives it.
    const ScopedEnvironment bus({{"DBUS_SESSION_BUS_ADDRESS", sway->variable("DBUS_SESSION_BUS_ADDRESS")}});
    std::string why;
    auto service = portal::PortalHotKeyService::connect(why);
    ASSERT_TRUE(service) << why;
    std::vector<std::pair<int, int>> events;
    service->installHandler([&](const KeyboardShortcuts::HotKeyEvent& e) {
        events.emplace_back(e.hotKeyId ? e.hotKeyId->id : -1, e.kind);
        return KeyboardShortcuts::kNoError;
    });
    std::vector<portal::ShortcutBinding> answers;
    service->setBindingHandler([&](const portal::ShortcutBinding& b) { answers.push_back(b); });
    const auto drainUntil = [&](auto done) {
        return waitFor([&] {
            manualMainQueue().drain();
            return done();
        });
    };
    const auto bound = [&] { return !answers.empty() && answers.back().state == portal::ShortcutBinding::State::Bound; };

    const auto first = service->registerHotKey(35, 0x1900, {1, 7}); // P with Ctrl, Alt and Super
    ASSERT_TRUE(first);
    ASSERT_TRUE(drainUntil(bound)) << bindings();
    EXPECT_EQ(answers.back().text, "CTRL+ALT+LOGO+p");
    ASSERT_EQ(press("hotkey-1-7"), 0);
    ASSERT_TRUE(drainUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events[0], std::make_pair(7, 5)); // pressed
    EXPECT_EQ(events[1], std::make_pair(7, 6)); // released

    answers.clear(); // a new recording replaces it, in a new session
    service->unregisterHotKey(*first);
    const auto second = service->registerHotKey(96, 0x300, {1, 7});
    ASSERT_TRUE(second);
    ASSERT_TRUE(drainUntil(bound)) << bindings();
    EXPECT_EQ(answers.back().text, "SHIFT+LOGO+F5");
    EXPECT_NE(bindings().find("bind hotkey-1-7 SHIFT+LOGO+F5|Show Overlook"), std::string::npos) << bindings();
    ASSERT_EQ(press("hotkey-1-7"), 0);
    EXPECT_TRUE(drainUntil([&] { return events.size() == 4; }));

    ASSERT_EQ(keys("TakeNothing"), 0);
    answers.clear();
    service->unregisterHotKey(*second);
    ASSERT_TRUE(service->registerHotKey(98, 0x100, {1, 9})); // Super+F7
    ASSERT_TRUE(drainUntil([&] {
        return !answers.empty() && answers.back().state != portal::ShortcutBinding::State::Pending;
    })) << bindings();
    EXPECT_EQ(answers.back().state, portal::ShortcutBinding::State::Refused);
    EXPECT_EQ(answers.back().text, "the desktop did not take the shortcut");
    service.reset();
    manualMainQueue().drain();
}

// Plasma 5.27's portal takes the shortcut only from the session's creation.
TEST(KdeShortcuts, PlasmaBindsTheShortcutAndItsKeysToggleThePopover) {
#ifndef KWIN_FAKE_INPUT
    GTEST_SKIP() << "plasma-wayland-protocols is not installed (scripts/install-deps)";
#else
    const DesktopSession kde("kde");
    ASSERT_TRUE(kde.running()) << kde.failure();
    const ScratchFolder home("kde-shortcut");
    TrayApp app(kde.environment(), home);
    ASSERT_TRUE(app.shortcutBound(20000)) << app.log();
    EXPECT_NE(app.log().find("bound the shortcut to Meta+Ctrl+Alt+P"), std::string::npos) << app.log();
    const auto popoverShown = [&] { return kde.script("windows").find("Overlook|overlook|") != std::string::npos; };
    const auto pressShortcut = [&] { return kde.run(KWIN_FAKE_INPUT " keys 29 56 125 25"); }; // Ctrl+Alt+Meta+P
    EXPECT_FALSE(popoverShown());
    ASSERT_EQ(pressShortcut(), 0);
    EXPECT_TRUE(waitFor(popoverShown)) << kde.script("windows") << app.log();
    ASSERT_EQ(pressShortcut(), 0);
    EXPECT_TRUE(waitFor([&] { return !popoverShown(); })) << kde.script("windows");
#endif
}

TEST(GnomeShell, WithoutATrayTheUserIsToldAndTheExtensionsIconOpensThePopover) {
    if (system("command -v gnome-shell >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gnome-shell is not installed (scripts/install-deps)";
    const DesktopSession gnome("gnome", "--shell");
    ASSERT_TRUE(gnome.running()) << gnome.failure();
    const ScratchFolder home("gnome-shell");
    ASSERT_EQ(gnome.storeConsent("HOME='" + home.path().string() + "' " + kOverlook), 2);
    const fs::path calls = home / "notifications.log";
    const pid_t monitor = spawn("env " + gnome.environment() +
                                    " dbus-monitor --session \"interface='org.freedesktop.Notifications'\"",
                                {}, calls);
    TrayApp app(gnome.environment(), home);
    EXPECT_TRUE(waitFor([&] { return readFile(calls).find("Overlook runs without a tray icon") != std::string::npos; }))
        << app.log() << readFile(calls);
    EXPECT_NE(readFile(calls).find("Ctrl+Alt+Super+P"), std::string::npos) << readFile(calls);

    ASSERT_EQ(gnome.run("gsettings set org.gnome.shell enabled-extensions \"['ubuntu-appindicators@ubuntu.com']\""), 0);
    ASSERT_TRUE(app.logs("A system tray is available; showing the icon", 20000)) << app.log();
    std::string item;
    ASSERT_TRUE(waitFor([&] {
        const std::string items = shellOutput("env " + gnome.environment() +
                                              " busctl --user get-property org.kde.StatusNotifierWatcher "
                                              "/StatusNotifierWatcher org.kde.StatusNotifierWatcher "
                                              "RegisteredStatusNotifierItems");
        std::smatch m;
        if (std::regex_search(items, m, std::regex("\"(:[0-9.]+)@(/\\S+)\"")))
            item = m[1].str() + " " + m[2].str();
        return !item.empty();
    })) << "the shell's watcher lists no item";
    // A click opens the popover; middle clicks close and reopen it, its streams set up anew.
    const auto opened = [&] { return occurrences(app.log(), "Setting up new streams"); };
    ASSERT_EQ(gnome.run("busctl --user call " + item + " org.kde.StatusNotifierItem Activate ii 1800 10"), 0);
    EXPECT_TRUE(waitFor([&] { return opened() == 1; })) << app.log();
    // Paused (autoPlay off), each display still gets a snapshot through the portal.
    EXPECT_TRUE(waitFor([&] { return occurrences(app.log(), "The screenshot of") == 2; }, 10000)) << app.log();
    for (int click = 0; click < 2; ++click)
        ASSERT_EQ(gnome.run("busctl --user call " + item + " org.kde.StatusNotifierItem SecondaryActivate ii 1800 10"), 0);
    EXPECT_TRUE(waitFor([&] { return opened() == 2; })) << app.log();
    stop(monitor);
}
