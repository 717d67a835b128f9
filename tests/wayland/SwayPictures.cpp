#include "tests/wayland/SwayPictures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace overlook::test {

bool paint(const DesktopSession& sway, const std::string& output, int w, int h, Colours c, const std::string& file) {
    const auto n = [](int v) { return std::to_string(v); };
    const std::string draw = "convert -size " + n(w) + "x" + n(h) + " 'xc:" + c.base + "' -fill '" + c.top +
                             "' -draw 'rectangle 0,0 " + n(w - 1) + "," + n(h / 4 - 1) + "' -fill '" + c.corner +
                             "' -draw 'rectangle " + n(w / 2) + "," + n(h / 2) + " " + n(w - 1) + "," + n(h - 1) +
                             "' '" + file + "'";
    return std::system(draw.c_str()) == 0 && sway.swaymsg("output " + output + " bg '" + file + "' stretch");
}

std::optional<DecodedPng> grimWhen(const DesktopSession& sway, const std::string& file,
                                   const std::function<bool(const DecodedPng&)>& settled) {
    for (int i = 0; i < 50; ++i) {
        if (sway.run("grim '" + file + "'") != 0)
            return std::nullopt;
        if (auto g = decodePng(file); g && settled(*g))
            return g;
        usleep(100000);
    }
    return std::nullopt;
}

std::optional<DecodedPng> paintBoth(const DesktopSession& sway, const std::filesystem::path& dir, Colours left,
                                    Colours right) {
    if (!paint(sway, "HEADLESS-1", 1920, 1080, left, dir / "bg1.png") ||
        !paint(sway, "HEADLESS-2", 1280, 1024, right, dir / "bg2.png"))
        return std::nullopt;
    return grimWhen(sway, dir / "grim.png", [&](const DecodedPng& g) {
        return g.at(1919, 1079) == argb(left.corner) && g.at(3199, 1023) == argb(right.corner);
    });
}

int differingPixels(const DecodedPng& ours, const DecodedPng& theirs) {
    int differing = 0;
    for (int y = 0; y < ours.height; ++y)
        for (int x = 0; x < ours.width; ++x) {
            const std::uint32_t a = ours.at(x, y), b = theirs.at(x, y);
            if (a != b && ((a >> 24) || (b >> 24)) && differing++ < 5)
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << a << " vs " << b;
        }
    return differing;
}

void expectPreviewInPlace(const DecodedPng& p, Colours left, Colours right) {
    ASSERT_EQ(p.width, 800);
    ASSERT_EQ(p.height, 270);
    struct Probe {
        int x, y;
        const char* colour;
    };
    for (const Probe& probe : {Probe{5, 5, left.top}, Probe{470, 60, left.top}, Probe{100, 200, left.base},
                               Probe{400, 250, left.corner}, Probe{490, 5, right.top}, Probe{500, 100, right.base},
                               Probe{780, 240, right.corner}, Probe{650, 100, right.base}})
        EXPECT_EQ(p.at(probe.x, probe.y), argb(probe.colour)) << probe.x << "," << probe.y;
    int unexpected = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 800; ++x) {
            bool known = y == 67 && x < 480; // the band ends at row 67.5
            for (const char* c : {left.base, left.top, left.corner, right.base, right.top, right.corner})
                known |= p.at(x, y) == argb(c);
            unexpected += !known;
        }
    EXPECT_EQ(unexpected, 0);
}

std::uint32_t argb(const char* hex) { return 0xFF000000u | std::uint32_t(std::stoul(hex + 1, nullptr, 16)); }

} // namespace overlook::test
