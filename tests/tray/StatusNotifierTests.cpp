// The tray icon under a panel that hosts StatusNotifierItems over D-Bus (KDE Plasma,
// GNOME with the AppIndicator extension, waybar) instead of an XEmbed tray: the real
// application on a private Xvfb and a private session bus, the stand-in panel of
// this folder, and no XEmbed tray anywhere. The icon registers with the watcher
// whether the panel was there first or comes later (also again after the panel
// restarts); a click on it and "Show Previews" in its menu open and close the
// popover; without any tray the application waits and the popover still opens.

#include "tests/control_bus/SessionBus.h"
#include "tests/tray/StatusNotifierHost.h"
#include "tests/x11/XvfbServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

using namespace overlook::test;

namespace {

class TraySession {
public:
    TraySession() : scratch_("tray") {}
    // The programs go before their X server and bus do.
    ~TraySession() {
        for (pid_t pid : started_)
            stop(pid);
    }
    bool ready() const { return server_.running() && bus_.running(); }
    const std::string& address() const { return bus_.address(); }
    bool nameHasOwner(const std::string& name) const { return bus_.nameHasOwner(name); }

    std::map<std::string, std::string> environment() const {
        std::map<std::string, std::string> env{{"DISPLAY", server_.name()},
                                               {"XDG_CONFIG_HOME", (scratch_.path() / "config").string()},
                                               {"HOME", (scratch_.path() / "home").string()},
                                               {"DBUS_SESSION_BUS_ADDRESS", bus_.address()},
                                               // The log is read below, also where a journal would take it.
                                               {"OVERLOOK_LOG_STDERR", "1"}};
        env.insert(extra_.begin(), extra_.end());
        return env;
    }
    // For the programs started after this.
    void addEnvironment(const std::string& name, const std::string& value) { extra_[name] = value; }
    // What "gsettings ARGUMENTS" prints in this session, without the line end.
    std::string gsettings(const std::string& arguments) {
        const auto out = scratch_.path() / "gsettings.out";
        exitStatus(start("gsettings " + arguments, out), 5000);
        std::string text = readFile(out);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        return text;
    }
    pid_t start(const std::string& command, const std::filesystem::path& log = {}) {
        return started_.emplace_back(spawn(command, environment(), log));
    }
    pid_t startApplication() {
        const pid_t pid = start(OVERLOOK_BINARY, scratch_ / "app.log");
        waitFor([&] { return bus_.nameHasOwner("io.overlook.Overlook"); }, 20000);
        return pid;
    }
    int exitStatus(pid_t pid, int limitMs) {
        const int status = exitStatusWithin(pid, limitMs);
        if (status != -1)
            std::erase(started_, pid);
        return status;
    }
    std::string applicationLog() const { return readFile(scratch_ / "app.log"); }
    int command(const std::string& arguments) {
        return exitStatus(start(std::string(OVERLOOK_BINARY) + " " + arguments), 15000);
    }

    // The application's mapped windows wide enough to be the popover.
    int popovers() const {
        int count = 0;
        std::istringstream ids(server_.output("xdotool search --onlyvisible --class overlook 2>/dev/null"));
        for (std::string id; ids >> id;) {
            std::smatch m;
            const std::string shell = server_.output("xdotool getwindowgeometry --shell " + id);
            if (std::regex_search(shell, m, std::regex("WIDTH=(\\d+)")) && std::stoi(m[1]) >= 300)
                ++count;
        }
        return count;
    }
    bool popoverOpen() const {
        return waitFor([&] { return popovers() == 1; });
    }
    bool popoverClosed() const {
        return waitFor([&] { return popovers() == 0; });
    }

    // The one item the watcher lists, once there is one.
    std::optional<std::string> item(StatusNotifierHost& host, int limitMs = 20000) const {
        std::vector<std::string> items;
        if (!waitFor([&] { return !(items = host.items()).empty(); }, limitMs) || items.size() != 1)
            return std::nullopt;
        return items.front();
    }

private:
    XvfbServer server_{1600, 900};
    PrivateSessionBus bus_;
    Scratch scratch_;
    std::map<std::string, std::string> extra_;
    std::vector<pid_t> started_;
};

} // namespace

TEST(StatusNotifierTray, IconAndMenuTogglePopoverAndQuit) {
    TraySession session;
    ASSERT_TRUE(session.ready());
    StatusNotifierWatcher watcher(session.address());
    ASSERT_TRUE(watcher.running());
    StatusNotifierHost host(session.address());
    ASSERT_TRUE(host.registered()) << host.error();

    const pid_t app = session.startApplication();
    const auto item = session.item(host);
    ASSERT_TRUE(item) << "the icon did not register with the watcher\n" << session.applicationLog();
    // Panels hide passive items.
    EXPECT_EQ(host.property(*item, "Status").value_or(host.error()), "Active");
    EXPECT_EQ(session.popovers(), 0);

    // A left click opens the popover, a second one closes it.
    ASSERT_TRUE(host.activate(*item, 800, 10)) << host.error();
    EXPECT_TRUE(session.popoverOpen()) << "Activate opened nothing";
    ASSERT_TRUE(host.activate(*item, 800, 10)) << host.error();
    EXPECT_TRUE(session.popoverClosed()) << "a second Activate did not close the popover";

    // The menu, as a panel that only ever opens menus shows it.
    const auto menu = host.menu(*item);
    ASSERT_TRUE(menu) << host.error();
    std::vector<std::string> labels;
    for (const auto& entry : *menu)
        if (entry.visible && entry.enabled && !entry.label.empty())
            labels.push_back(entry.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"Show Previews", "Screenshot of All Displays", "Display Information",
                                                "Preferences…", "Quit"}));
    ASSERT_TRUE(host.clickMenuEntry(*item, "Show Previews")) << host.error();
    EXPECT_TRUE(session.popoverOpen()) << "\"Show Previews\" opened nothing";
    ASSERT_TRUE(host.clickMenuEntry(*item, "Show Previews")) << host.error();
    EXPECT_TRUE(session.popoverClosed()) << "\"Show Previews\" did not close the popover";

    // Quit from the menu: the application ends and its item leaves the panel.
    ASSERT_TRUE(host.clickMenuEntry(*item, "Quit")) << host.error();
    EXPECT_EQ(session.exitStatus(app, 10000), 0) << session.applicationLog();
    EXPECT_TRUE(waitFor([&] { return watcher.items().empty(); })) << "the item stayed after the application quit";
}

TEST(StatusNotifierTray, WithoutTrayTheApplicationWaitsAndTakesAPanelThatComesLater) {
    TraySession session;
    ASSERT_TRUE(session.ready());
    // GNOME without its tray extension, its settings in a file of this session's own.
    session.addEnvironment("XDG_CURRENT_DESKTOP", "GNOME");
    session.addEnvironment("GSETTINGS_BACKEND", "keyfile");
    NotificationServer notifications(session.address());
    ASSERT_TRUE(notifications.running());
    session.startApplication();

    // No tray at all: said once, the application runs on and its popover opens.
    EXPECT_TRUE(waitFor([&] {
        return session.applicationLog().find("No system tray is available yet") != std::string::npos;
    })) << session.applicationLog();
    EXPECT_EQ(session.command("popover --show"), 0);
    EXPECT_TRUE(session.popoverOpen()) << "no popover without a tray";
    EXPECT_EQ(session.command("popover --hide"), 0);
    EXPECT_TRUE(session.popoverClosed());

    // The user is told once how to reach the previews, and offered GNOME's own
    // shortcut, which is written only once accepted.
    std::vector<NotificationServer::Notification> notices;
    const auto told = [&] {
        notices.clear();
        for (const auto& n : notifications.received())
            if (n.summary == "Overlook runs without a tray icon")
                notices.push_back(n);
        return !notices.empty();
    };
    ASSERT_TRUE(waitFor(told, 10000)) << session.applicationLog();
    EXPECT_NE(notices[0].body.find("“overlook popover”"), std::string::npos) << notices[0].body;
    const auto& actions = notices[0].actions;
    EXPECT_NE(std::find(actions.begin(), actions.end(), "add-gnome-shortcut"), actions.end());
    const std::string list = "org.gnome.settings-daemon.plugins.media-keys custom-keybindings";
    const std::string ours = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:"
                             "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/overlook/";
    EXPECT_EQ(session.gsettings("get " + list), "@as []");
    notifications.invokeAction(notices[0].id, "add-gnome-shortcut");
    EXPECT_TRUE(waitFor([&] {
        return session.gsettings("get " + list) == "['/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/overlook/']";
    })) << session.gsettings("get " + list) << session.applicationLog();
    EXPECT_EQ(session.gsettings("get " + ours + " command"), "'overlook popover --toggle'");
    EXPECT_EQ(session.gsettings("get " + ours + " binding"), "'<Control><Alt><Super>p'");
    EXPECT_TRUE(told());
    EXPECT_EQ(notices.size(), 1u);

    // The watcher comes first, the panel's host a moment later, as on a desktop
    // that is still starting.
    {
        StatusNotifierWatcher watcher(session.address());
        ASSERT_TRUE(watcher.running());
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        StatusNotifierHost host(session.address());
        ASSERT_TRUE(host.registered()) << host.error();
        const auto item = session.item(host, 8000);
        ASSERT_TRUE(item) << "the icon never moved to the panel that came later\n" << session.applicationLog();
        ASSERT_TRUE(host.activate(*item, 0, 0)) << host.error();
        EXPECT_TRUE(session.popoverOpen()) << "Activate opened nothing";
        ASSERT_TRUE(host.activate(*item, 0, 0)) << host.error();
        EXPECT_TRUE(session.popoverClosed());
    }

    // The panel restarts, now as the stand-in program: the icon comes back to it.
    session.start(std::string(STATUS_NOTIFIER_HOST) + " watch");
    ASSERT_TRUE(waitFor([&] { return session.nameHasOwner("org.kde.StatusNotifierWatcher"); }));
    StatusNotifierHost host(session.address());
    ASSERT_TRUE(host.registered()) << host.error();
    const auto item = session.item(host, 8000);
    ASSERT_TRUE(item) << "the icon did not come back after the panel restarted";
    const pid_t click = session.start(std::string(STATUS_NOTIFIER_HOST) + " activate");
    EXPECT_EQ(session.exitStatus(click, 5000), 0);
    EXPECT_TRUE(session.popoverOpen()) << "Activate through the stand-in program opened nothing";
}
