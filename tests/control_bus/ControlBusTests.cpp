
#include "SessionBus.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

using namespace overlook::test;
namespace fs = std::filesystem;

TEST(ControlBus, OneInstanceItsControlCommandsItsNotificationsAndTheBusStartingIt) {
    if (system("command -v trayer >/dev/null 2>&1 && command -v xdg-open >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "trayer or xdg-open is not installed (scripts/install-deps)";
    AppSession session("control", 3840, 1080);
    ASSERT_TRUE(session.ready());
    const XvfbServer& server = session.server;
    // PNG files open with a recorder of the file it was given.
    const fs::path scratch = session.scratch.path(), script = scratch / "recorder.sh", opened = scratch / "opened";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " << opened.string() << "\n";
    fs::permissions(script, fs::perms::owner_all);
    fs::create_directories(scratch / "data" / "applications");
    std::ofstream(scratch / "data" / "applications" / "recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" << script.string() << " %f\nMimeType=image/png;\n";
    std::ofstream(scratch / "config" / "mimeapps.list") << "[Default Applications]\nimage/png=recorder.desktop\n";
    session.setEnvironment("XDG_DATA_HOME", scratch / "data");
    session.setEnvironment("XDG_CURRENT_DESKTOP", "");
    server.setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    const pid_t tray = server.startTrayer();
    ASSERT_GT(tray, 0);
    const pid_t first = session.startApplication();
    ASSERT_TRUE(session.bus.nameHasOwner("io.overlook.Overlook"))
        << "the application did not take its name on the bus\n" << session.log();
    ASSERT_TRUE(waitFor([&] { return server.trayIcons().size() == 1; }, 20000)) << "no tray icon appeared";
    EXPECT_EQ(server.popovers(), 0);

    EXPECT_EQ(session.command(""), 0) << session.log("command.log");
    EXPECT_TRUE(session.popoverOpen()) << "the running instance showed no popover";
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(server.trayIcons().size(), 1u) << "a second tray icon appeared";

    EXPECT_EQ(session.command("popover --hide"), 0);
    EXPECT_TRUE(session.popoverClosed()) << "--hide left the popover open";
    EXPECT_EQ(session.command("popover --hide"), 0) << "hiding a hidden popover is no failure";
    EXPECT_EQ(session.command("popover --show"), 0);
    EXPECT_TRUE(session.popoverOpen()) << "--show opened nothing";
    EXPECT_EQ(session.command("popover --show"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(server.popovers(), 1) << "--show on an open popover made another";
    EXPECT_EQ(session.command("popover --toggle"), 0);
    EXPECT_TRUE(session.popoverClosed()) << "--toggle did not close the popover";
    EXPECT_EQ(session.command("popover"), 0);
    EXPECT_TRUE(session.popoverOpen()) << "toggling (the default) did not open it";
    EXPECT_EQ(session.command("popover --sideways"), 2);
    EXPECT_NE(session.log("command.log").find("unknown option '--sideways'"), std::string::npos);
    EXPECT_EQ(session.command("preferences"), 0);
    EXPECT_TRUE(waitFor([&] { return server.hasWindowNamed("General"); })) << "no preferences window";

    // Without a notification service, the tray icon's balloon: a new window of ours.
    const auto visible = [&] { return server.output("xdotool search --onlyvisible --class overlook 2>/dev/null"); };
    const std::string before = visible();
    ASSERT_EQ(session.call("ScreenshotAllDisplays"), 0);
    EXPECT_TRUE(waitFor([&] { return visible() != before; })) << session.log();
    EXPECT_FALSE(fs::is_empty(session.scratch / "home" / "Desktop"));
    fs::remove_all(session.scratch / "home" / "Desktop");

    NotificationServer notifications(session.bus.address());
    ASSERT_TRUE(notifications.running());
    ASSERT_EQ(session.call("ScreenshotAllDisplays"), 0);
    ASSERT_TRUE(waitFor([&] { return notifications.received().size() == 1; })) << session.log();
    const auto saved = notifications.received()[0];
    EXPECT_EQ(saved.summary, "Screenshot saved");
    const std::string name = saved.body.substr(0, saved.body.find(" in "));
    const fs::path file = scratch / "home" / "Desktop" / name;
    EXPECT_EQ(saved.body, name + " in ~/Desktop");
    EXPECT_TRUE(fs::is_regular_file(file)) << "the notification names " << saved.body << ", which is not there";
    EXPECT_EQ(saved.hints.count("image-path") ? saved.hints.at("image-path") : "", "file://" + file.string());
    ASSERT_EQ(saved.actions, (std::vector<std::string>{"default", "Open"}));

    notifications.invokeAction(saved.id, "default"); // opens with xdg-open
    EXPECT_TRUE(waitFor([&] { return readFile(opened) == file.string() + "\n"; }, 10000))
        << "opened: '" << readFile(opened) << "'\n" << session.log();
    notifications.invokeAction(saved.id + 100, "default"); // not ours

    fs::remove_all(scratch / "home" / "Desktop");
    std::ofstream(scratch / "home" / "Desktop") << "in the way";
    ASSERT_EQ(session.call("ScreenshotAllDisplays"), 0);
    ASSERT_TRUE(waitFor([&] { return notifications.received().size() == 2; })) << session.log();
    const auto failed = notifications.received()[1];
    EXPECT_EQ(failed.summary, "Screenshot failed");
    EXPECT_NE(failed.body.find("Cannot create the desktop folder"), std::string::npos) << failed.body;
    EXPECT_TRUE(failed.actions.empty());
    EXPECT_EQ(readFile(opened), file.string() + "\n") << "something else was opened";

    ASSERT_EQ(session.call("ShowDisplayInformation"), 0);
    EXPECT_TRUE(waitFor([&] { return session.server.hasWindowNamed("Display Information"); }))
        << "no display information window";

    stop(first);
    EXPECT_TRUE(waitFor([&] { return !session.bus.nameHasOwner("io.overlook.Overlook"); }));
    EXPECT_EQ(session.command("popover --hide"), 1);
    EXPECT_NE(session.log("command.log").find("overlook: no running Overlook: nothing owns"), std::string::npos)
        << session.log("command.log");

    // With the built service file, hiding starts nothing; showing starts the application.
    std::string service = readFile(CONTROL_BUS_SERVICE_FILE);
    ASSERT_NE(service.find("Name=io.overlook.Overlook\n"), std::string::npos) << service;
    std::ofstream(session.bus.serviceDirectory() / "io.overlook.Overlook.service")
        << std::regex_replace(service, std::regex("Exec=.*"), "Exec=" OVERLOOK_BINARY);
    EXPECT_EQ(session.command("popover --hide"), 1);
    EXPECT_FALSE(session.bus.nameHasOwner("io.overlook.Overlook"));
    EXPECT_EQ(session.command("popover --show"), 0) << session.log("command.log");
    EXPECT_TRUE(session.bus.nameHasOwner("io.overlook.Overlook"));
    EXPECT_TRUE(session.popoverOpen()) << "the started application showed no popover";
    EXPECT_EQ(session.command("popover --hide"), 0);
    EXPECT_TRUE(session.popoverClosed());
    const std::string pid = shellOutput("dbus-send --bus=" + session.bus.address() +
                                        " --print-reply --dest=org.freedesktop.DBus / "
                                        "org.freedesktop.DBus.GetConnectionUnixProcessID string:io.overlook.Overlook "
                                        "| awk '/uint32/ {print $2}'");
    if (!pid.empty())
        stop(std::stoi(pid)); // the bus daemon's child: SIGTERM only
    stop(tray);
}

TEST(ControlBus, WithoutASessionBusTheCommandsSaySo) {
    const ScratchFolder scratch("control");
    const fs::path log = scratch / "log";
    for (const auto& [env, says] : std::vector<std::pair<std::map<std::string, std::string>, std::string>>{
             {{{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}},
              "overlook: no running Overlook: cannot connect to the session bus at unix:path=/nonexistent/bus"},
             {{{"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", ""}},
              "overlook: no running Overlook: no session bus"}}) {
        for (const std::string args : {"popover --show", "popover --hide", "preferences"}) {
            EXPECT_EQ(exitStatusWithin(spawn(OVERLOOK_BINARY " " + args, env, log), 10000), 1) << args;
            EXPECT_NE(readFile(log).find(says), std::string::npos) << args << ": " << readFile(log);
        }
    }
}
