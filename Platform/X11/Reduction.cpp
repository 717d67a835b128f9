#include "Reduction.h"

#include <emmintrin.h>
#include <vector>

namespace overlook::x11 {

namespace {

// The channel sums of `count` adjacent pixels, as four 16-bit lanes (the low half
// of the result; the high half is garbage after the fold).
inline __m128i sumPixels(const std::uint8_t* p, int count) {
    const __m128i zero = _mm_setzero_si128();
    __m128i sum = zero;
    int j = 0;
    for (; j + 4 <= count; j += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j * 4));
        sum = _mm_add_epi16(sum, _mm_add_epi16(_mm_unpacklo_epi8(v, zero), _mm_unpackhi_epi8(v, zero)));
    }
    if (j + 2 <= count) {
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + j * 4));
        sum = _mm_add_epi16(sum, _mm_unpacklo_epi8(v, zero));
        j += 2;
    }
    if (j < count) {
        int pixel;
        __builtin_memcpy(&pixel, p + j * 4, 4);
        sum = _mm_add_epi16(sum, _mm_unpacklo_epi8(_mm_cvtsi32_si128(pixel), zero));
    }
    return _mm_add_epi16(sum, _mm_srli_si128(sum, 8));
}

} // namespace

// Per output row: each k-pixel run of each of the k source rows is summed into
// 16-bit lanes (255 * k * k fits for k ≤ 16), then every sum is divided with a
// rounding multiply-high and packed back to bytes.
void boxReduce(const std::uint8_t* source, int sourceStride, int k, std::uint8_t* dest, int destStride,
               int outW, int outH) {
    thread_local std::vector<std::uint16_t> sums;
    sums.resize(static_cast<std::size_t>(outW + 1) * 4);
    const int divisor = k * k;
    const __m128i multiplier = _mm_set1_epi16(static_cast<short>((65536 + divisor - 1) / divisor));
    const __m128i half = _mm_set1_epi16(static_cast<short>(divisor / 2));
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    for (int oy = 0; oy < outH; ++oy) {
        std::uint16_t* acc = sums.data();
        for (int r = 0; r < k; ++r) {
            const std::uint8_t* row = source + static_cast<std::ptrdiff_t>(oy * k + r) * sourceStride;
            for (int ox = 0; ox < outW; ++ox) {
                const __m128i s = sumPixels(row + ox * k * 4, k);
                __m128i* slot = reinterpret_cast<__m128i*>(acc + ox * 4);
                _mm_storel_epi64(slot, r == 0 ? s : _mm_add_epi16(_mm_loadl_epi64(slot), s));
            }
        }
        std::uint8_t* out = dest + static_cast<std::ptrdiff_t>(oy) * destStride;
        int ox = 0;
        for (; ox + 2 <= outW; ox += 2) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + ox * 4));
            v = _mm_mulhi_epu16(_mm_add_epi16(v, half), multiplier);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + ox * 4), _mm_or_si128(_mm_packus_epi16(v, v), opaque));
        }
        if (ox < outW) {
            __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(acc + ox * 4));
            v = _mm_mulhi_epu16(_mm_add_epi16(v, half), multiplier);
            const int pixel = _mm_cvtsi128_si32(_mm_or_si128(_mm_packus_epi16(v, v), opaque));
            __builtin_memcpy(out + ox * 4, &pixel, 4);
        }
    }
}

} // namespace overlook::x11
