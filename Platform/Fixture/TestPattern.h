#pragma once
// The synthetic picture of a fixture display. It is asymmetric on purpose, so a
// picture drawn upside down or mirrored is easy to tell:
//  - the top tenth of the display is white;
//  - below it, at the left edge, a black block (10% wide, 20% high);
//  - the rest has the display's own colour, with a dark vertical bar that moves
//    to the right as the frame number grows.
// The pattern is defined in display points and sampled at any pixel size.

#include "Foundation/Geometry.h"
#include "Tessera/FrameSurface.h"

#include <cstdint>

namespace overlook::fixture {

inline constexpr std::uint32_t kTopBandColor = 0xFFFFFFFF;
inline constexpr std::uint32_t kCornerBlockColor = 0xFF000000;
inline constexpr std::uint32_t kMovingBarColor = 0xFF202020;

// The base colour (0xAARRGGBB, opaque) of the display at `index` in the arrangement.
std::uint32_t displayColor(std::size_t index);

// The pattern's colour at a point (px, py) of a display `pointSize` big.
std::uint32_t patternColor(std::uint32_t baseColor, Size pointSize, double px, double py,
                           std::uint64_t frameNumber);

// Fills `surface` with the pattern of a display of `pointSize`, sampled at the
// surface's size.
void renderPattern(FrameSurface& surface, std::uint32_t baseColor, Size pointSize,
                   std::uint64_t frameNumber);

} // namespace overlook::fixture
