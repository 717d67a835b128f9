// Feedback for the menu's commands, against a stand-in notification service on a
// private session bus: a saved screenshot is announced with its file name and opens
// with the user's application (xdg-open) when the notification is clicked; a failed
// one is announced with the reason; the display information opens in a window.

#include "SessionBus.h"
#include "tests/x11/XvfbServer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {


// PNG files open with a recorder that notes which file it was given.
void installRecorderForPng(const Scratch& scratch) {
    const fs::path script = scratch.path() / "recorder.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " << (scratch.path() / "opened").string() << "\n";
    fs::permissions(script, fs::perms::owner_all);
    fs::create_directories(scratch.path() / "data" / "applications");
    std::ofstream(scratch.path() / "data" / "applications" / "recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" << script.string()
        << " %f\nMimeType=image/png;\n";
    std::ofstream(scratch.path() / "config" / "mimeapps.list") << "[Default Applications]\nimage/png=recorder.desktop\n";
}

int call(const PrivateSessionBus& bus, const std::string& method) {
    int status = 0;
    shellOutput("dbus-send --bus=" + bus.address() +
                    " --print-reply --dest=io.overlook.Overlook /io/overlook/Overlook io.overlook.Overlook." + method +
                    " >/dev/null 2>&1",
                &status);
    return status;
}

} // namespace

TEST(Notifications, ScreenshotSavedOrFailedIsAnnouncedAndTheSavedOneOpens) {
    if (system("command -v xdg-open >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xdg-open is not installed (scripts/install-deps)";
    XvfbServer server(1920, 1080);
    ASSERT_TRUE(server.running());
    const Scratch scratch("notify");
    installRecorderForPng(scratch);
    PrivateSessionBus bus;
    ASSERT_TRUE(bus.running());
    NotificationServer notifications(bus.address());
    ASSERT_TRUE(notifications.running());

    const pid_t app = spawn(OVERLOOK_BINARY, {{"DISPLAY", server.name()},
                                              {"XDG_CONFIG_HOME", (scratch.path() / "config").string()},
                                              {"XDG_DATA_HOME", (scratch.path() / "data").string()},
                                              {"HOME", (scratch.path() / "home").string()},
                                              {"XDG_CURRENT_DESKTOP", ""},
                                              {"DBUS_SESSION_BUS_ADDRESS", bus.address()}},
                            scratch.path() / "app.log");
    ASSERT_TRUE(waitFor([&] { return bus.nameHasOwner("io.overlook.Overlook"); }, 20000))
        << readFile(scratch.path() / "app.log");

    ASSERT_EQ(call(bus, "ScreenshotAllDisplays"), 0);
    ASSERT_TRUE(waitFor([&] { return notifications.received().size() == 1; })) << readFile(scratch.path() / "app.log");
    const auto saved = notifications.received()[0];
    EXPECT_EQ(saved.summary, "Screenshot saved");
    EXPECT_EQ(saved.appName, "Overlook");
    EXPECT_EQ(saved.urgency, 1);
    // The file's name and the folder it went to.
    const std::string name = saved.body.substr(0, saved.body.find(" in "));
    const fs::path file = scratch.path() / "home" / "Desktop" / name;
    EXPECT_EQ(saved.body, name + " in ~/Desktop");
    EXPECT_EQ(saved.body.rfind("Screen Shot ", 0), 0u) << saved.body;
    EXPECT_TRUE(fs::is_regular_file(file)) << "the notification names " << saved.body << ", which is not there";
    EXPECT_EQ(saved.hints.count("image-path") ? saved.hints.at("image-path") : "", "file://" + file.string());
    ASSERT_EQ(saved.actions, (std::vector<std::string>{"default", "Open"}));

    // A click (the default action) opens the picture.
    notifications.invokeAction(saved.id, "default");
    EXPECT_TRUE(waitFor([&] { return readFile(scratch.path() / "opened") == file.string() + "\n"; }, 10000))
        << "opened: '" << readFile(scratch.path() / "opened") << "'\n" << readFile(scratch.path() / "app.log");
    // Another notification's action is none of ours.
    notifications.invokeAction(saved.id + 100, "default");

    // No desktop folder can be made: the failure is announced with the reason.
    fs::remove_all(scratch.path() / "home" / "Desktop");
    std::ofstream(scratch.path() / "home" / "Desktop") << "in the way";
    ASSERT_EQ(call(bus, "ScreenshotAllDisplays"), 0);
    ASSERT_TRUE(waitFor([&] { return notifications.received().size() == 2; })) << readFile(scratch.path() / "app.log");
    const auto failed = notifications.received()[1];
    EXPECT_EQ(failed.summary, "Screenshot failed");
    EXPECT_NE(failed.body.find("Cannot create the desktop folder"), std::string::npos) << failed.body;
    EXPECT_EQ(failed.urgency, 2);
    EXPECT_TRUE(failed.actions.empty());
    EXPECT_EQ(readFile(scratch.path() / "opened"), file.string() + "\n") << "something else was opened";

    // The display information: logged as before, and shown in a window.
    ASSERT_EQ(call(bus, "ShowDisplayInformation"), 0);
    EXPECT_TRUE(waitFor([&] {
        return !server.output("xdotool search --onlyvisible --name '^Display Information$' 2>/dev/null").empty();
    })) << "no display information window";
    EXPECT_NE(readFile(scratch.path() / "app.log").find("Display Information"), std::string::npos);
    stop(app);
}

TEST(Notifications, WithoutANotificationServiceTheTrayIconShowsTheMessage) {
    if (system("command -v trayer >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "trayer is not installed (scripts/install-deps)";
    XvfbServer server(1920, 1080);
    ASSERT_TRUE(server.running());
    const Scratch scratch("notify");
    PrivateSessionBus bus;
    ASSERT_TRUE(bus.running());
    const std::map<std::string, std::string> env = {{"DISPLAY", server.name()},
                                                    {"XDG_CONFIG_HOME", (scratch.path() / "config").string()},
                                                    {"HOME", (scratch.path() / "home").string()},
                                                    {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    const pid_t tray = spawn("trayer --edge top --align right --widthtype request --height 24", env);
    ASSERT_TRUE(waitFor([&] { return !server.output("xdotool search --name '^panel$' 2>/dev/null").empty(); }));
    const pid_t app = spawn(OVERLOOK_BINARY, env, scratch.path() / "app.log");
    ASSERT_TRUE(waitFor([&] { return bus.nameHasOwner("io.overlook.Overlook"); }, 20000));
    auto visible = [&] { return server.output("xdotool search --onlyvisible --class overlook 2>/dev/null"); };
    ASSERT_TRUE(waitFor([&] { return !visible().empty(); }, 20000)) << "no tray icon";
    const std::string before = visible();

    ASSERT_EQ(call(bus, "ScreenshotAllDisplays"), 0);
    // The tray icon's balloon: a window of the application's that was not there.
    EXPECT_TRUE(waitFor([&] { return visible() != before; })) << readFile(scratch.path() / "app.log");
    EXPECT_TRUE(fs::is_directory(scratch.path() / "home" / "Desktop"));
    EXPECT_FALSE(fs::is_empty(scratch.path() / "home" / "Desktop"));
    stop(app);
    stop(tray);
}
