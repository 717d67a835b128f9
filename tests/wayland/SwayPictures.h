#pragma once
// Known pictures on a test sway's outputs, and grim's view of them, for the tests
// that compare our pictures with the compositor's.

#include "tests/overlook/PngDecode.h"
#include "tests/support/DesktopSession.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace overlook::test {

// A base colour with a band across the top quarter and a block at the bottom
// right, so that a picture upside down, mirrored or misplaced cannot pass.
struct Colours {
    const char *base, *top, *corner;
};
constexpr Colours kBlue{"#204080", "#ffcc00", "#c03030"}, kGreen{"#30a050", "#f0f0f0", "#8000ff"};

// Makes the picture (w × h) in `file` and shows it as the output's background.
bool paint(const DesktopSession& sway, const std::string& output, int w, int h, Colours colours, const std::string& file);

// grim's picture of the whole layout once `settled` holds for it (swaybg paints a
// moment after swaymsg returns); nullopt after 5 s.
std::optional<DecodedPng> grimWhen(const DesktopSession& sway, const std::string& file,
                                   const std::function<bool(const DecodedPng&)>& settled);

// Both outputs of the default layout painted, and grim's picture once it shows them.
std::optional<DecodedPng> paintBoth(const DesktopSession& sway, const std::filesystem::path& dir, Colours left,
                                    Colours right);

// Pixels that differ (the first few are reported); where grim leaves no output,
// transparent black, so may we.
int differingPixels(const DecodedPng& ours, const DecodedPng& theirs);

// A preview at a quarter of the default layout painted with `left` and `right`: each
// output's picture where the output is, upright, and no colour but theirs (so no
// crosshair either).
void expectPreviewInPlace(const DecodedPng& preview, Colours left, Colours right);

// "#rrggbb" as an opaque 0xAARRGGBB.
std::uint32_t argb(const char* hex);

} // namespace overlook::test
