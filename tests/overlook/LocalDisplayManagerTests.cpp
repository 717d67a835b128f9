#include "Overlook/KeyMonitor.h"
#include "Overlook/LocalDisplayManager.h"
#include "Overlook/CommandLine/ScreenshotCommand.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/overlook/PngDecode.h"
#include "tests/support/FixtureEnvironment.h"
#include "tests/support/Processes.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace overlook;
using namespace overlook::test;
namespace fs = std::filesystem;

static std::uint32_t snapshotPixel(FixtureEnvironment& env, DisplayID id, int x, int y) {
    return env.displays().createImage(id)->pixel(x, y);
}

TEST(LocalDisplay, RecordsDescriptionsAndNumbers) {
    FixtureEnvironment env(R"({"displays": [
        {"id": 5, "unitNumber": 0, "name": "Built-in", "sizeMillimetres": [344, 222], "main": true,
         "bounds": [0, 0, 1512, 982]},
        {"id": 9, "unitNumber": 1, "name": "DELL", "rotation": 90, "bounds": [-1080.5, -98, 1080, 1920]}],
        "screens": [{"displayNumber": 5, "name": "Colour LCD", "frame": [0, 0, 1512, 982]}]})");
    const auto displays = LocalDisplay::allDisplays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0], (LocalDisplay{5, {344, 222}, 0, true, {0, 0, 1512, 982}}));
    EXPECT_EQ(displays[1].rotation, 90);
    EXPECT_FALSE(displays[1].isMain);

    EXPECT_EQ(roundTripNumber(-0.0), "-0.0");
    EXPECT_EQ(std::stod(roundTripNumber(2.0 / 3.0)), 2.0 / 3.0);
}

TEST(LocalDisplay, ReconfigurationRefreshesTheListOnThePlatformsCalls) {
    FixtureEnvironment env(arrangementJson({displayJson(1, 0, "A", 0, 0, 1512, 982, true)}));
    {
        LocalDisplayManager manager;
        ASSERT_EQ(manager.availableDisplays.get().size(), 1u);
        int announced = 0;
        ScopedConnection c = manager.objectWillChange.connect([&] { ++announced; });

        env.displays().setArrangement(fixture::parseArrangement(arrangementJson(
            {displayJson(1, 0, "A", 0, 0, 1512, 982, true), displayJson(2, 1, "B", 1512, 0, 1920, 1080)})));
        FixtureEnvironment::drainMain();
        EXPECT_EQ(manager.availableDisplays.get(), LocalDisplay::allDisplays());
        EXPECT_GE(announced, 1);

        displayReconfigurationCallback(1, kBeginConfigurationFlag, nullptr);
        EXPECT_EQ(FixtureEnvironment::drainMain(), 0u);
        displayReconfigurationCallback(1, 0, nullptr);
    } // the manager is gone before its queued refresh runs
    EXPECT_EQ(FixtureEnvironment::drainMain(), 1u);
}

TEST(DesktopSnapshot, OverlapScalingMissingSnapshotsAndNoDisplays) {
    FixtureEnvironment env(R"({"displays": [
        {"id": 1, "unitNumber": 0, "name": "Main", "main": true, "bounds": [0, 0, 400, 300], "pixelsPerPoint": 2},
        {"id": 2, "unitNumber": 1, "name": "Over", "bounds": [-100, -50, 200, 100]}]})");
    auto b = LocalDisplayManager::desktopSnapshot(LocalDisplay::allDisplays());
    ASSERT_TRUE(b);
    EXPECT_EQ(std::pair(b->width, b->height), std::pair(500, 350));
    // The display above and left of the main one starts the picture; the later display covers the earlier.
    for (auto [x, y] : {std::pair{0, 0}, {199, 0}, {0, 99}, {150, 90}})
        EXPECT_EQ(b->pixels().pixel(x, y), snapshotPixel(env, 2, x, y)) << x << "," << y;
    EXPECT_EQ(b->pixels().pixel(100 + 300, 50 + 200) >> 24, 0xFFu);
    EXPECT_EQ(b->pixels().pixel(0, 349), 0u);

    env.displays().setSnapshotsFail(true);
    std::string error; // no picture at all rather than a blank hole
    EXPECT_FALSE(LocalDisplayManager::desktopSnapshot(LocalDisplay::allDisplays(), &error));
    EXPECT_EQ(error, "Display 1 could not be captured");

    EXPECT_FALSE(LocalDisplayManager::desktopSnapshot({}));
}

TEST(Screenshot, NamesFoldersAndNeverOverwrites) {
    const ScratchFolder home("shot");
    const ScopedEnvironment environment({{"TZ", "UTC"}, {"HOME", home.path()}, {"XDG_CONFIG_HOME", home / "config"}});
    tzset();
    EXPECT_EQ(screenshotBaseName(1714572207), "Screen Shot 2024-05-01 at 14.03.27");
    std::string error;
    const fs::path d = home / "Schreibtisch";
    fs::create_directories(home / "config");
    std::ofstream(home / "config" / "user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n";
    EXPECT_EQ(desktopDirectory(error), d.string()) << error;
    EXPECT_TRUE(fs::is_directory(d));

    FixtureEnvironment env(arrangementJson({displayJson(1, 0, "Main", 0, 0, 64, 48, true)}));
    std::vector<std::string> written;
    for (int i = 0; i < 3; ++i)
        captureAllDisplays(1714572207, nullptr, [&](const SavedFile& s) {
            EXPECT_EQ(s.error, "");
            written.push_back(s.path);
        });
    EXPECT_EQ(written, (std::vector<std::string>{d / "Screen Shot 2024-05-01 at 14.03.27.png",
                                                 d / "Screen Shot 2024-05-01 at 14.03.27 (2).png",
                                                 d / "Screen Shot 2024-05-01 at 14.03.27 (3).png"}));
    for (const auto& path : written) {
        const auto png = decodePng(path);
        ASSERT_TRUE(png);
        EXPECT_EQ(png->at(10, 10), snapshotPixel(env, 1, 10, 10));
    }
    EXPECT_NE(LocalDisplayManager::writeDesktopScreenshot("/proc/overlook.png").error, "");
}

TEST(KeyMonitor, DigitsAreConsumedAndReported) {
    EXPECT_EQ(keyMonitorDecision("-12", false).printed, -12);
    EXPECT_FALSE(keyMonitorDecision("5a", false).consume);
    ensureOffscreenApplication();
    FixtureEnvironment env(arrangementJson({displayJson(1, 0, "Main", 0, 0, 64, 48, true)}));
    enableKeyMonitor();
    LocalDisplayManager manager;
    QLineEdit field;
    auto type = [&](Qt::Key key, Qt::KeyboardModifiers mods, const QString& text) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(&field, &press);
    };
    testing::internal::CaptureStdout();
    type(Qt::Key_5, Qt::NoModifier, "5");
    type(Qt::Key_5, Qt::ControlModifier, "5");
    type(Qt::Key_7, Qt::KeypadModifier, "7");
    type(Qt::Key_A, Qt::NoModifier, "a");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Toggling display with id 5\nToggling display with id 7\n");
    EXPECT_EQ(field.text().toStdString(), "a");
}
