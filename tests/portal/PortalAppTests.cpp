// The overlook program capturing through the desktop portal in a headless sway with
// the real portal stack, against grim's screenshots and the log of the portal's
// output dialog (the session's chooser appends a line per dialog).

#include "Redraws.h"
#include "tests/overlook/PngDecode.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <unistd.h>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

const std::string kOverlook = OVERLOOK_BINARY;

struct Colours {
    const char *base, *top, *corner;
};

// A band across the top and a block at the bottom right, so that a picture upside
// down, mirrored or on the wrong display cannot pass.
bool paint(const SwaySession& sway, const std::string& output, int w, int h, Colours c, const fs::path& file) {
    const std::string draw = "convert -size " + std::to_string(w) + "x" + std::to_string(h) + " 'xc:" + c.base +
                             "' -fill '" + c.top + "' -draw 'rectangle 0,0 " + std::to_string(w - 1) + "," +
                             std::to_string(h / 4 - 1) + "' -fill '" + c.corner + "' -draw 'rectangle " +
                             std::to_string(w / 2) + "," + std::to_string(h / 2) + " " + std::to_string(w - 1) + "," +
                             std::to_string(h - 1) + "' '" + file.string() + "'";
    return std::system(draw.c_str()) == 0 && sway.swaymsg("output " + output + " bg '" + file.string() + "' stretch");
}

std::uint32_t argb(const char* hex) { return 0xFF000000u | std::uint32_t(std::stoul(hex + 1, nullptr, 16)); }

// Paints both outputs and waits until grim sees them (swaybg paints a moment later).
std::optional<DecodedPng> paintBoth(const SwaySession& sway, const fs::path& dir, Colours left, Colours right) {
    if (!paint(sway, "HEADLESS-1", 1920, 1080, left, dir / "bg1.png") ||
        !paint(sway, "HEADLESS-2", 1280, 1024, right, dir / "bg2.png"))
        return std::nullopt;
    const fs::path file = dir / "grim.png";
    for (int i = 0; i < 50; ++i) {
        if (sway.run("grim '" + file.string() + "'") != 0)
            return std::nullopt;
        if (auto g = decodePng(file); g && g->at(1919, 1079) == argb(left.corner) && g->at(3199, 1023) == argb(right.corner))
            return g;
        usleep(100000);
    }
    return std::nullopt;
}

int lineCount(const fs::path& file) {
    std::ifstream in(file);
    int n = 0;
    for (std::string line; std::getline(in, line);)
        ++n;
    return n;
}

int occurrences(const std::string& text, const std::string& word) {
    int n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

// overlook with a home of its own (its settings keep the restore tokens).
std::string overlookIn(const ScratchFolder& home, const std::string& arguments) {
    return "env HOME='" + home.path().string() + "' XDG_CONFIG_HOME='" + (home / "config").string() + "' " + kOverlook +
           " " + arguments;
}

} // namespace

TEST(PortalApp, EachOutputInPlaceWithConsentAskedOnceThenRestored) {
    SwaySession sway("", SwaySession::Kind::Headless, "--portal");
    ASSERT_TRUE(sway.running());
    const ScratchFolder dir("portal-app");
    const fs::path dialogs = fs::path(sway.stateFolder()) / "portal" / "chooser.log";
    const Colours blue{"#204080", "#ffcc00", "#c03030"}, green{"#30a050", "#f0f0f0", "#8000ff"};

    // A screenshot through the portal's streams: the same pixels as grim's.
    const auto theirs = paintBoth(sway, dir.path(), blue, green);
    ASSERT_TRUE(theirs);
    auto redraws = std::make_unique<Redraws>(sway, "HEADLESS-1", "HEADLESS-2");
    const fs::path shot = dir / "shot.png";
    ASSERT_EQ(sway.run(overlookIn(dir, "screenshot --backend portal --output '" + shot.string() + "' >/dev/null")), 0);
    const auto ours = decodePng(shot);
    ASSERT_TRUE(ours);
    ASSERT_EQ(ours->width, 3200);
    ASSERT_EQ(ours->height, 1080);
    int differing = 0;
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 3200; ++x)
            differing += ours->at(x, y) != theirs->at(x, y) && (ours->at(x, y) >> 24 || theirs->at(x, y) >> 24);
    EXPECT_EQ(differing, 0);
    // One dialog per output (this portal shares one output per session, and the
    // first may be answered with the other output); both consents kept.
    EXPECT_EQ(lineCount(dialogs), 2);
    EXPECT_EQ(occurrences(readFile(dir / "config" / "overlook" / "io.overlook.Overlook.plist"), "portalRestoreToken."), 2);

    // New pictures, then a preview whose sessions are restored from the tokens: no dialog.
    redraws.reset();
    ASSERT_TRUE(paintBoth(sway, dir.path(), green, blue));
    redraws = std::make_unique<Redraws>(sway, "HEADLESS-1", "HEADLESS-2");
    const fs::path preview = dir / "preview.png";
    ASSERT_EQ(sway.run(overlookIn(dir, "preview --backend portal --scale 4 --frames 2 --output '" + preview.string() +
                                           "' >/dev/null")),
              0);
    EXPECT_EQ(lineCount(dialogs), 2);
    const auto p = decodePng(preview);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->width, 800);
    ASSERT_EQ(p->height, 270);
    struct Probe {
        int x, y;
        const char* colour;
    };
    for (const Probe& probe : {Probe{5, 5, green.top}, Probe{470, 60, green.top}, Probe{100, 200, green.base},
                               Probe{400, 250, green.corner}, Probe{490, 5, blue.top}, Probe{500, 100, blue.base},
                               Probe{780, 240, blue.corner}, Probe{650, 100, blue.base}})
        EXPECT_EQ(p->at(probe.x, probe.y), argb(probe.colour)) << probe.x << "," << probe.y;
    // No crosshair: this portal offers no cursor metadata, so the pointer is unknown.
    int unexpected = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 800; ++x) {
            bool known = y == 67 && x < 480; // the left band's end blends (row 67.5 at a quarter)
            for (const char* c : {blue.base, blue.top, blue.corner, green.base, green.top, green.corner})
                known |= p->at(x, y) == argb(c);
            unexpected += !known;
        }
    EXPECT_EQ(unexpected, 0);
}

TEST(PortalApp, ARefusalOrAMissingPortalIsToldAndEndsTheCommand) {
    SwaySession sway("", SwaySession::Kind::Headless, "--portal");
    ASSERT_TRUE(sway.running());
    const ScratchFolder dir("portal-refusals");
    const fs::path portal = fs::path(sway.stateFolder()) / "portal";
    const fs::path errors = dir / "errors.txt", out = dir / "out.png";
    const std::string toFile = " --output '" + out.string() + "' >/dev/null 2>'" + errors.string() + "'";

    // Both dialogs cancelled: one dialog per command, never asked again.
    std::ofstream(portal / "choices") << "cancel\ncancel\n";
    EXPECT_EQ(sway.run(overlookIn(dir, "screenshot --backend portal" + toFile)), 1);
    EXPECT_NE(readFile(errors).find("overlook: screen capture was not allowed: the desktop's dialog was cancelled"),
              std::string::npos)
        << readFile(errors);
    EXPECT_EQ(sway.run(overlookIn(dir, "preview --backend portal" + toFile)), 1);
    EXPECT_NE(readFile(errors).find("overlook: no preview was written: screen capture was not allowed: the desktop's "
                                    "dialog was cancelled"),
              std::string::npos)
        << readFile(errors);
    EXPECT_EQ(lineCount(portal / "chooser.log"), 2);
    EXPECT_FALSE(fs::exists(out));

    // A session bus without the portal, and no session bus at all.
    std::ofstream(dir / "bus.conf") << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                       "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                       "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
    EXPECT_EQ(sway.run("dbus-run-session --config-file='" + (dir / "bus.conf").string() + "' -- " +
                       overlookIn(dir, "screenshot --backend portal" + toFile)),
              1);
    EXPECT_NE(readFile(errors).find("overlook: no desktop portal on the session bus"), std::string::npos)
        << readFile(errors);
    EXPECT_EQ(sway.run("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent " +
                       overlookIn(dir, "preview --backend portal" + toFile)),
              1);
    EXPECT_NE(readFile(errors).find("overlook: no session bus to reach the desktop portal"), std::string::npos)
        << readFile(errors);
    EXPECT_EQ(lineCount(portal / "chooser.log"), 2);
}
