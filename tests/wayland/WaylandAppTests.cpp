
#include "tests/wayland/SwayPictures.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {
const std::string kOverlook = OVERLOOK_BINARY;
} // namespace

TEST(WaylandApp, ScreenshotEqualsGrimAndPreviewShowsEachOutputInPlace) {
    DesktopSession sway("wayland");
    ASSERT_TRUE(sway.running()) << sway.failure();
    const ScratchFolder dir("wayland");
    for (const char* depth : {"8", "10"}) { // at 10 the left output's copies are XRGB2101010
        SCOPED_TRACE(std::string(depth) + " bits a colour");
        ASSERT_TRUE(sway.swaymsg(std::string("output HEADLESS-1 render_bit_depth ") + depth));
        const auto theirs = paintBoth(sway, dir.path(), kBlue, kGreen);
        ASSERT_TRUE(theirs);
        const fs::path shot = dir / "shot.png", preview = dir / "preview.png";
        ASSERT_EQ(sway.run(kOverlook + " screenshot --output '" + shot.string() + "' >/dev/null"), 0);
        const auto ours = decodePng(shot);
        ASSERT_TRUE(ours);
        ASSERT_EQ(ours->width, 3200);
        ASSERT_EQ(ours->height, 1080);
        EXPECT_EQ(differingPixels(*ours, *theirs), 0);
        ASSERT_EQ(sway.run(kOverlook + " preview --scale 4 --frames 2 --output '" + preview.string() + "' >/dev/null"), 0);
        const auto p = decodePng(preview);
        ASSERT_TRUE(p);
        expectPreviewInPlace(*p, kBlue, kGreen);
        fs::remove(shot);
        fs::remove(preview);
    }
}

TEST(WaylandApp, TurnedAndMirroredOutputsAreCapturedAsTheDesktopShowsThem) {
    DesktopSession sway("wayland", "--layout 1200x900+0+0,1200x900+900+0");
    ASSERT_TRUE(sway.running()) << sway.failure();
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-1 transform 90"));
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-2 transform flipped-180"));
    // sway's "90" is wl_output's 270; y-up frames hang from the top of the main (origin) output.
    const auto listed = nlohmann::json::parse(sway.output(kOverlook + " displays --json"));
    const auto swayOutputs = nlohmann::json::parse(sway.output("swaymsg -t get_outputs -r"));
    ASSERT_EQ(listed.size(), 2u);
    ASSERT_EQ(swayOutputs.size(), 2u);
    std::set<int> rotations;
    for (const auto& o : swayOutputs) {
        SCOPED_TRACE(o["name"].get<std::string>());
        const auto& r = o["rect"];
        const nlohmann::json* mine = nullptr;
        for (const auto& d : listed)
            if (d["bounds"]["x"] == r["x"] && d["bounds"]["y"] == r["y"])
                mine = &d;
        ASSERT_TRUE(mine);
        EXPECT_EQ((*mine)["bounds"]["width"], r["width"]);
        EXPECT_EQ((*mine)["bounds"]["height"], r["height"]);
        EXPECT_EQ((*mine)["screenFrame"]["y"], 1200 - r["height"].get<double>());
        EXPECT_EQ((*mine)["isMain"], r["x"] == 0);
        EXPECT_EQ((*mine)["isBuiltin"], false);
        rotations.insert((*mine)["rotation"].get<int>());
    }
    EXPECT_TRUE(rotations.count(180) && (rotations.count(90) || rotations.count(270))) << listed;
    // No --backend: WAYLAND_DISPLAY alone chose Wayland; no DISPLAY in the session for X11.
    EXPECT_EQ(nlohmann::json::parse(sway.output(kOverlook + " displays --json --backend wayland")), listed);
    EXPECT_NE(sway.run(kOverlook + " displays --backend x11 2>/dev/null"), 0);
    const ScratchFolder dir("wayland-turned");
    ASSERT_TRUE(paint(sway, "HEADLESS-1", 900, 1200, kBlue, dir / "bg1.png"));
    ASSERT_TRUE(paint(sway, "HEADLESS-2", 1200, 900, kGreen, dir / "bg2.png"));
    const auto theirs = grimWhen(sway, dir / "grim.png", [](const DecodedPng& g) {
        return g.width == 2100 && g.at(899, 1199) == 0xFFC03030u && g.at(2099, 899) == 0xFF8000FFu;
    });
    ASSERT_TRUE(theirs);
    const fs::path shot = dir / "shot.png";
    ASSERT_EQ(sway.run(kOverlook + " screenshot --output '" + shot.string() + "' >/dev/null"), 0);
    const auto ours = decodePng(shot);
    ASSERT_TRUE(ours);
    ASSERT_EQ(std::pair(ours->width, ours->height), std::pair(2100, 1200));
    EXPECT_EQ(differingPixels(*ours, *theirs), 0);

    const fs::path preview = dir / "preview.png";
    ASSERT_EQ(sway.run(kOverlook + " preview --scale 4 --frames 2 --output '" + preview.string() + "' >/dev/null"), 0);
    const auto p = decodePng(preview);
    ASSERT_TRUE(p);
    ASSERT_EQ(std::pair(p->width, p->height), std::pair(525, 300));
    EXPECT_EQ(p->at(110, 5), 0xFFFFCC00u);
    EXPECT_EQ(p->at(20, 280), 0xFF204080u);
    EXPECT_EQ(p->at(210, 290), 0xFFC03030u);
    EXPECT_EQ(p->at(500, 5), 0xFFF0F0F0u);
    EXPECT_EQ(p->at(240, 210), 0xFF30A050u);
    EXPECT_EQ(p->at(510, 210), 0xFF8000FFu);
}
