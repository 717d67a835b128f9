#include "tests/wayland/SwayPictures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace overlook::test {

bool paint(const SwaySession& sway, const std::string& output, int w, int h, Colours c, const std::string& file) {
    const auto n = [](int v) { return std::to_string(v); };
    const std::string draw = "convert -size " + n(w) + "x" + n(h) + " 'xc:" + c.base + "' -fill '" + c.top +
                             "' -draw 'rectangle 0,0 " + n(w - 1) + "," + n(h / 4 - 1) + "' -fill '" + c.corner +
                             "' -draw 'rectangle " + n(w / 2) + "," + n(h / 2) + " " + n(w - 1) + "," + n(h - 1) +
                             "' '" + file + "'";
    return std::system(draw.c_str()) == 0 && sway.swaymsg("output " + output + " bg '" + file + "' stretch");
}

std::optional<DecodedPng> grimWhen(const SwaySession& sway, const std::string& file,
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

std::uint32_t argb(const char* hex) { return 0xFF000000u | std::uint32_t(std::stoul(hex + 1, nullptr, 16)); }

} // namespace overlook::test
