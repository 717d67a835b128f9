#include "Foundation/Logger.h"
#include "Tessera/Display.h"
#include "tests/support/FixtureEnvironment.h"

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::test;

TEST(Display, EnumerationBuildsRecordsInPlatformOrderAndStopsAtTen) {
    std::vector<std::string> many;
    for (unsigned i = 0; i < 11; ++i)
        many.push_back(displayJson(100 + i, static_cast<int>(i), "D" + std::to_string(i), i * 100.0, 0, 100, 50, i == 0));
    FixtureEnvironment env(arrangementJson(many));
    const auto displays = Display::activeDisplays();
    ASSERT_EQ(displays.size(), 10u);
    EXPECT_EQ(displays.front().id, 100u);
    EXPECT_EQ(displays.back().id, 109u);
    EXPECT_EQ(displays[3].localizedName, "D3");
    EXPECT_EQ(Display::main().id, 100u);
}

TEST(Display, MetricsSpanTheDisplaysFromTheOriginAndNoDisplaysGiveZeroWithAMessage) {
    const auto at = [](Rect r) { Display d; d.bounds = r; return d; };
    EXPECT_EQ(displayMetrics({at({0, 0, 1440, 900}), at({-1920, 0, 1920, 1080})}), Rect(-1920, 0, 3360, 1080));
    EXPECT_EQ(displayMetrics({at({-3840, -2160, 1920, 1080})}), Rect(-3840, -2160, 3840, 2160));
    EXPECT_EQ(displayMetrics({at({100, 50, 10, 10})}), Rect(100, 50, 10, 10));

    FixtureEnvironment env(R"({"displays": []})");
    LogCapture capture;
    const auto displays = Display::activeDisplays();
    EXPECT_TRUE(displays.empty());
    EXPECT_EQ(displayMetrics(displays), Rect(0, 0, 0, 0));
    EXPECT_TRUE(capture.contains(LogLevel::Error, "Attempting to calculate display metrics for zero displays"));
}

TEST(Display, ScreenMatchingAndFallbackNames) {
    FixtureEnvironment env(R"({"displays": [
        {"id": 1, "unitNumber": 0, "name": "x", "bounds": [0, 0, 1440, 900], "main": true},
        {"id": 2, "unitNumber": 4, "name": "y", "bounds": [1440, 0, 800, 600]},
        {"id": 3, "unitNumber": 7, "name": "z", "bounds": [0, 900, 800, 600]}], "screens": [
        {"displayNumber": 2, "name": "", "frame": [1440, 300, 800, 600]},
        {"displayNumber": 1, "name": "Studio", "frame": [0, 0, 1440, 900]},
        {"displayNumber": 1, "name": "Second match is ignored", "frame": [9, 9, 9, 9]}]})");
    const Display studio(1), unnamed(2), unmatched(3);
    EXPECT_EQ(studio.localizedName, "Studio");
    EXPECT_EQ(unnamed.localizedName, "Unknown Screen 4");
    EXPECT_EQ(unnamed.screenFrame, Rect(1440, 300, 800, 600)); // keeps the screen's frame
    EXPECT_EQ(unmatched.description(), "Unknown Screen 7");
    EXPECT_EQ(unmatched.screenFrame, unmatched.bounds);
}

TEST(DisplayDeathTest, AScreenWithoutDisplayNumberStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH({
        FixtureEnvironment env(R"({"displays": [{"id": 1, "bounds": [0, 0, 10, 10]}],
                                   "screens": [{"name": "n", "frame": [0, 0, 10, 10]}]})");
        Display d(1);
    }, "display number");
}

TEST(Display, EqualityHashOrderAndIcons) {
    Display a;
    a.id = 1;
    a.unitNumber = 2;
    a.bounds = {0, 0, 100, 50};
    Display b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(hashValue(a), hashValue(b));
    b.rotation = 90;
    EXPECT_NE(a, b);
    EXPECT_TRUE(!(a < b) && !(b < a)); // ordered by unit number alone
    b.unitNumber = 3;
    EXPECT_TRUE(a < b);

    for (auto [rotation, isMain, icon] :
         {std::tuple{0.0, false, "rectangle"}, {180.0, true, "rectangle.fill"}, {90.0, false, "rectangle.portrait"},
          {270.0, true, "rectangle.portrait.fill"}, {45.0, false, "rectangle"}, {450.0, false, "rectangle.portrait"}}) {
        a.rotation = rotation;
        a.isMain = isMain;
        EXPECT_EQ(a.iconName(), icon) << rotation << " " << isMain;
    }
}

TEST(Display, SnapshotFallsBackToABlankImageWithAMessage) {
    FixtureEnvironment env(arrangementJson({displayJson(5, 0, "Side", 0, 0, 321.7, 200.2, true)}));
    const Display d(5);
    auto real = d.createImage();
    ASSERT_TRUE(real);
    EXPECT_EQ(real->width(), 321);
    EXPECT_NE(real->pixel(0, 0), 0u);

    env.displays().setSnapshotsFail(true);
    LogCapture capture;
    auto blank = d.createImage();
    ASSERT_TRUE(blank);
    EXPECT_EQ(std::pair(blank->width(), blank->height()), std::pair(321, 200));
    EXPECT_EQ(blank->pixel(160, 100), 0u);
    EXPECT_TRUE(capture.contains(LogLevel::Error, "Failed to create an image of display Side (5)"));
}
