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
    EXPECT_EQ(Display::main().id, 100u);
}

TEST(Display, MetricsSpanTheDisplaysFromTheOriginAndNoDisplaysGiveZero) {
    const auto at = [](Rect r) { Display d; d.bounds = r; return d; };
    EXPECT_EQ(displayMetrics({at({0, 0, 1440, 900}), at({-1920, 0, 1920, 1080})}), Rect(-1920, 0, 3360, 1080));
    EXPECT_EQ(displayMetrics({at({-3840, -2160, 1920, 1080})}), Rect(-3840, -2160, 3840, 2160));
    EXPECT_EQ(displayMetrics({at({100, 50, 10, 10})}), Rect(100, 50, 10, 10));

    FixtureEnvironment env(R"({"displays": []})");
    const auto displays = Display::activeDisplays();
    EXPECT_TRUE(displays.empty());
    EXPECT_EQ(displayMetrics(displays), Rect(0, 0, 0, 0));
}

TEST(Display, ScreenMatchingAndFallbackNames) {
    FixtureEnvironment env(R"({"displays": [
        {"id": 1, "unitNumber": 0, "name": "x", "bounds": [0, 0, 1440, 900], "main": true},
        {"id": 2, "unitNumber": 4, "name": "y", "bounds": [1440, 0, 800, 600]},
        {"id": 3, "unitNumber": 7, "name": "z", "bounds": [0, 900, 800, 600]}], "screens": [
        {"displayNumber": 2, "name": "", "frame": [1440, 300, 800, 600]},
        {"displayNumber": 1, "name": "Studio", "frame": [0, 0, 1440, 900]}]})");
    const Display studio(1), unnamed(2), unmatched(3);
    EXPECT_EQ(studio.localizedName, "Studio");
    EXPECT_EQ(unnamed.localizedName, "Unknown Screen 4");
    EXPECT_EQ(unnamed.screenFrame, Rect(1440, 300, 800, 600)); // keeps the screen's frame
    EXPECT_EQ(unmatched.description(), "Unknown Screen 7");
    EXPECT_EQ(unmatched.screenFrame, unmatched.bounds);
}

TEST(Display, EqualityHashOrderAndIcon) {
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
    EXPECT_EQ(a.iconName(), "rectangle");
    a.rotation = 450; // turned a quarter, past a full turn
    a.isMain = true;
    EXPECT_EQ(a.iconName(), "rectangle.portrait.fill");
}

TEST(Display, SnapshotFallsBackToABlankImage) {
    FixtureEnvironment env(arrangementJson({displayJson(5, 0, "Side", 0, 0, 321.7, 200.2, true)}));
    const Display d(5);
    auto real = d.createImage();
    ASSERT_TRUE(real);
    EXPECT_EQ(real->width(), 321);
    EXPECT_NE(real->pixel(0, 0), 0u);

    env.displays().setSnapshotsFail(true);
    auto blank = d.createImage();
    ASSERT_TRUE(blank);
    EXPECT_EQ(std::pair(blank->width(), blank->height()), std::pair(321, 200));
    EXPECT_EQ(blank->pixel(160, 100), 0u);
}
