#include "TestPattern.h"

#include <cmath>

namespace overlook::fixture {

std::uint32_t displayColor(std::size_t index) {
    static constexpr std::uint32_t palette[] = {0xFF3070D0, 0xFFD04030, 0xFF30A050,
                                                0xFFD0A020, 0xFF8040C0, 0xFF20A0A0};
    return palette[index % (sizeof palette / sizeof palette[0])];
}

std::uint32_t patternColor(std::uint32_t baseColor, Size size, double px, double py,
                           std::uint64_t frameNumber) {
    if (py < size.height * 0.1)
        return kTopBandColor;
    if (px < size.width * 0.1 && py < size.height * 0.3)
        return kCornerBlockColor;
    const double barWidth = size.width * 0.02;
    const double barX = std::fmod(static_cast<double>(frameNumber) * size.width / 97.0, size.width);
    if (px >= barX && px < barX + barWidth)
        return kMovingBarColor;
    return baseColor;
}

void renderPattern(FrameSurface& surface, std::uint32_t baseColor, Size size,
                   std::uint64_t frameNumber) {
    const int w = surface.width(), h = surface.height();
    if (w <= 0 || h <= 0)
        return;
    const double sx = size.width / w, sy = size.height / h;
    for (int y = 0; y < h; ++y) {
        std::uint32_t* row = surface.mutableRow(y);
        const double py = (y + 0.5) * sy;
        for (int x = 0; x < w; ++x)
            row[x] = patternColor(baseColor, size, (x + 0.5) * sx, py, frameNumber);
    }
}

} // namespace overlook::fixture
