#pragma once
// Known pictures on a test sway's outputs, and grim's view of them.

#include "tests/overlook/PngDecode.h"
#include "tests/support/DesktopSession.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace overlook::test {

// A band across the top quarter and a block at the bottom right: nothing turned or moved passes.
struct Colours {
    const char *base, *top, *corner;
};
constexpr Colours kBlue{"#204080", "#ffcc00", "#c03030"}, kGreen{"#30a050", "#f0f0f0", "#8000ff"};

// Shows that picture (w × h, written to `file`) as the output's background.
bool paint(const DesktopSession& sway, const std::string& output, int w, int h, Colours colours, const std::string& file);

// grim's picture once `settled` holds (swaybg paints after swaymsg returns); nullopt after 5 s.
std::optional<DecodedPng> grimWhen(const DesktopSession& sway, const std::string& file,
                                   const std::function<bool(const DecodedPng&)>& settled);

// Both outputs of the default layout painted, and grim's picture once it shows them.
std::optional<DecodedPng> paintBoth(const DesktopSession& sway, const std::filesystem::path& dir, Colours left,
                                    Colours right);

// Pixels that differ, the first few reported; transparent black where grim has no output.
int differingPixels(const DecodedPng& ours, const DecodedPng& theirs);

// A quarter-size preview of both outputs: each upright in place, no other colour (no crosshair).
void expectPreviewInPlace(const DecodedPng& preview, Colours left, Colours right);

// "#rrggbb" as an opaque 0xAARRGGBB.
std::uint32_t argb(const char* hex);

} // namespace overlook::test
