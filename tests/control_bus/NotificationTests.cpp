// Feedback for the menu's commands, against a stand-in notification service on a
// private session bus: a saved screenshot is announced with its file name and opens
// with the user's application (xdg-open) when the notification is clicked; a failed
// one is announced with the reason; the display information opens in a window.

#include "SessionBus.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace overlook::test;
namespace fs = std::filesystem;

TEST(Notifications, ScreenshotSavedOrFailedIsAnnouncedAndTheSavedOneOpens) {
    if (system("command -v xdg-open >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xdg-open is not installed (scripts/install-deps)";
    AppSession session("notify");
    ASSERT_TRUE(session.ready());
    NotificationServer notifications(session.bus.address());
    ASSERT_TRUE(notifications.running());
    // PNG files open with a recorder that notes which file it was given.
    const fs::path scratch = session.scratch.path(), script = scratch / "recorder.sh", opened = scratch / "opened";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " << opened.string() << "\n";
    fs::permissions(script, fs::perms::owner_all);
    fs::create_directories(scratch / "data" / "applications");
    std::ofstream(scratch / "data" / "applications" / "recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" << script.string() << " %f\nMimeType=image/png;\n";
    std::ofstream(scratch / "config" / "mimeapps.list") << "[Default Applications]\nimage/png=recorder.desktop\n";
    session.setEnvironment("XDG_DATA_HOME", scratch / "data");
    session.setEnvironment("XDG_CURRENT_DESKTOP", "");
    const pid_t app = session.startApplication();
    ASSERT_TRUE(session.bus.nameHasOwner("io.overlook.Overlook")) << session.log();

    ASSERT_EQ(session.call("ScreenshotAllDisplays"), 0);
    ASSERT_TRUE(waitFor([&] { return notifications.received().size() == 1; })) << session.log();
    const auto saved = notifications.received()[0];
    EXPECT_EQ(saved.summary, "Screenshot saved");
    EXPECT_EQ(saved.appName, "Overlook");
    EXPECT_EQ(saved.urgency, 1);
    // The file's name and the folder it went to.
    const std::string name = saved.body.substr(0, saved.body.find(" in "));
    const fs::path file = scratch / "home" / "Desktop" / name;
    EXPECT_EQ(saved.body, name + " in ~/Desktop");
    EXPECT_EQ(saved.body.rfind("Screen Shot ", 0), 0u) << saved.body;
    EXPECT_TRUE(fs::is_regular_file(file)) << "the notification names " << saved.body << ", which is not there";
    EXPECT_EQ(saved.hints.count("image-path") ? saved.hints.at("image-path") : "", "file://" + file.string());
    ASSERT_EQ(saved.actions, (std::vector<std::string>{"default", "Open"}));

    // A click (the default action) opens the picture; another notification's action is none of ours.
    notifications.invokeAction(saved.id, "default");
    EXPECT_TRUE(waitFor([&] { return readFile(opened) == file.string() + "\n"; }, 10000))
        << "opened: '" << readFile(opened) << "'\n" << session.log();
    notifications.invokeAction(saved.id + 100, "default");

    // No desktop folder can be made: the failure is announced with the reason.
    fs::remove_all(scratch / "home" / "Desktop");
    std::ofstream(scratch / "home" / "Desktop") << "in the way";
    ASSERT_EQ(session.call("ScreenshotAllDisplays"), 0);
    ASSERT_TRUE(waitFor([&] { return notifications.received().size() == 2; })) << session.log();
    const auto failed = notifications.received()[1];
    EXPECT_EQ(failed.summary, "Screenshot failed");
    EXPECT_NE(failed.body.find("Cannot create the desktop folder"), std::string::npos) << failed.body;
    EXPECT_EQ(failed.urgency, 2);
    EXPECT_TRUE(failed.actions.empty());
    EXPECT_EQ(readFile(opened), file.string() + "\n") << "something else was opened";

    // The display information: logged as before, and shown in a window.
    ASSERT_EQ(session.call("ShowDisplayInformation"), 0);
    EXPECT_TRUE(waitFor([&] { return session.server.hasWindowNamed("Display Information"); }))
        << "no display information window";
    EXPECT_NE(session.log().find("Display Information"), std::string::npos);
    stop(app);
}
