#include "Reduction.h"

#include <cstring>
#include <vector>

namespace overlook::x11 {

// Two passes per output row: the k source rows are added column by column into
// 16-bit lanes (contiguous, so the compiler vectorises it; k ≤ 16 keeps 255 * k
// within 16 bits), then each run of k columns is added and divided.
void boxReduce(const std::uint8_t* source, int sourceStride, int k, std::uint8_t* dest, int destStride,
               int outW, int outH) {
    const int width = outW * k * 4;
    thread_local std::vector<std::uint16_t> columns;
    columns.resize(static_cast<std::size_t>(width));
    const std::uint32_t divisor = static_cast<std::uint32_t>(k * k);
    // x / d == (x * m + 2^15) >> 16 within one step for every sum that can occur.
    const std::uint32_t multiplier = ((1u << 16) + divisor - 1) / divisor;
    for (int oy = 0; oy < outH; ++oy) {
        std::uint16_t* acc = columns.data();
        const std::uint8_t* first = source + static_cast<std::ptrdiff_t>(oy * k) * sourceStride;
        for (int i = 0; i < width; ++i)
            acc[i] = first[i];
        for (int r = 1; r < k; ++r) {
            const std::uint8_t* row = first + static_cast<std::ptrdiff_t>(r) * sourceStride;
            for (int i = 0; i < width; ++i)
                acc[i] = static_cast<std::uint16_t>(acc[i] + row[i]);
        }
        std::uint8_t* out = dest + static_cast<std::ptrdiff_t>(oy) * destStride;
        for (int ox = 0; ox < outW; ++ox) {
            const std::uint16_t* block = acc + ox * k * 4;
            std::uint32_t b = 0, g = 0, r = 0;
            for (int i = 0; i < k; ++i) {
                b += block[i * 4];
                g += block[i * 4 + 1];
                r += block[i * 4 + 2];
            }
            out[ox * 4] = static_cast<std::uint8_t>((b * multiplier + (1u << 15)) >> 16);
            out[ox * 4 + 1] = static_cast<std::uint8_t>((g * multiplier + (1u << 15)) >> 16);
            out[ox * 4 + 2] = static_cast<std::uint8_t>((r * multiplier + (1u << 15)) >> 16);
            out[ox * 4 + 3] = 0xFF;
        }
    }
}

} // namespace overlook::x11
