
#include "tests/control_bus/SessionBus.h"
#include "tests/tray/StatusNotifierHost.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace overlook::test;

TEST(StatusNotifierTray, WithoutTrayTheApplicationWaitsAndTakesAPanelThatComesLater) {
    AppSession session("tray", 1600, 900);
    ASSERT_TRUE(session.ready());
    // GNOME without its tray extension, its settings in a file of this session's.
    session.setEnvironment("XDG_CURRENT_DESKTOP", "GNOME");
    session.setEnvironment("GSETTINGS_BACKEND", "keyfile");
    const auto gsettings = [&](const std::string& key) {
        session.exitStatus(session.start("gsettings get " + key, "gsettings.out"), 5000);
        std::string text = session.log("gsettings.out");
        return text.substr(0, text.find_last_not_of("\n ") + 1);
    };
    NotificationServer notifications(session.bus.address());
    ASSERT_TRUE(notifications.running());
    session.startApplication();

    EXPECT_TRUE(waitFor([&] { return session.log().find("No system tray is available yet") != std::string::npos; }))
        << session.log();
    EXPECT_EQ(session.command("popover --show"), 0);
    EXPECT_TRUE(session.popoverOpen()) << "no popover without a tray";
    EXPECT_EQ(session.command("popover --hide"), 0);
    EXPECT_TRUE(session.popoverClosed());

    // Told once how to reach the previews; GNOME's shortcut is written only once accepted.
    std::vector<NotificationServer::Notification> notices;
    const auto told = [&] {
        notices = notifications.received();
        std::erase_if(notices, [](const auto& n) { return n.summary != "Overlook runs without a tray icon"; });
        return !notices.empty();
    };
    ASSERT_TRUE(waitFor(told, 10000)) << session.log();
    EXPECT_NE(notices[0].body.find("“overlook popover”"), std::string::npos) << notices[0].body;
    const auto& actions = notices[0].actions;
    EXPECT_NE(std::find(actions.begin(), actions.end(), "add-gnome-shortcut"), actions.end());
    const std::string list = "org.gnome.settings-daemon.plugins.media-keys custom-keybindings";
    const std::string ours = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:"
                             "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/overlook/";
    EXPECT_EQ(gsettings(list), "@as []");
    notifications.invokeAction(notices[0].id, "add-gnome-shortcut");
    EXPECT_TRUE(waitFor([&] {
        return gsettings(list) == "['/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/overlook/']";
    })) << gsettings(list) << session.log();
    EXPECT_EQ(gsettings(ours + " command"), "'overlook popover --toggle'");
    EXPECT_EQ(gsettings(ours + " binding"), "'<Control><Alt><Super>p'");
    EXPECT_TRUE(told());
    EXPECT_EQ(notices.size(), 1u);

    // A desktop still starting (host after watcher), then a panel restart (both at once).
    for (const int hostLaterMs : {1500, 0}) {
        SCOPED_TRACE(hostLaterMs ? "the host came later" : "the panel restarted");
        StatusNotifierWatcher watcher(session.bus.address());
        ASSERT_TRUE(watcher.running());
        std::this_thread::sleep_for(std::chrono::milliseconds(hostLaterMs));
        StatusNotifierHost host(session.bus.address());
        ASSERT_TRUE(host.registered()) << host.error();
        std::vector<std::string> items;
        ASSERT_TRUE(waitFor([&] { return !(items = host.items()).empty(); }, 8000) && items.size() == 1)
            << "the icon did not come to the panel once\n" << session.log();
        ASSERT_TRUE(host.activate(items[0], 0, 0)) << host.error();
        EXPECT_TRUE(session.popoverOpen()) << "Activate opened nothing";
        ASSERT_TRUE(host.activate(items[0], 0, 0)) << host.error();
        EXPECT_TRUE(session.popoverClosed());
    }
}
