#include "AreaFilter.h"

#include <immintrin.h>
#include <vector>

namespace overlook {

namespace {

// The k source rows of one output row are first summed down each column into
// 16-bit lanes (255 * k * k fits for k ≤ 16), in registers and one pass over the
// rows, so each source byte is loaded once; then each run of k column sums is
// added across and divided. The column pass is where the time goes: it touches
// every source pixel, the second pass only every k-th.

void sumColumnsScalar(const std::uint8_t* const* rows, int k, int from, int bytes, std::uint16_t* sums) {
    for (int x = from; x < bytes; ++x) {
        unsigned s = 0;
        for (int r = 0; r < k; ++r)
            s += rows[r][x];
        sums[x] = static_cast<std::uint16_t>(s);
    }
}

template <int K>
void sumColumnsSse2(const std::uint8_t* const* rows, int runK, int bytes, std::uint16_t* sums) {
    const int k = K ? K : runK;
    const __m128i zero = _mm_setzero_si128();
    int x = 0;
    for (; x + 16 <= bytes; x += 16) {
        __m128i lo = zero, hi = zero;
        for (int r = 0; r < k; ++r) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + x));
            lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
            hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + x), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + x + 8), hi);
    }
    sumColumnsScalar(rows, k, x, bytes, sums);
}

template <int K>
__attribute__((target("avx2"))) void sumColumnsAvx2(const std::uint8_t* const* rows, int runK, int bytes,
                                                     std::uint16_t* sums) {
    const int k = K ? K : runK;
    int x = 0;
    for (; x + 64 <= bytes; x += 64) {
        __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
        for (int r = 0; r < k; ++r) {
            const std::uint8_t* p = rows[r] + x;
            a = _mm256_add_epi16(a, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
            b = _mm256_add_epi16(b, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))));
            c = _mm256_add_epi16(c, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))));
            d = _mm256_add_epi16(d, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48))));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + x), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + x + 16), b);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + x + 32), c);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + x + 48), d);
    }
    sumColumnsScalar(rows, k, x, bytes, sums);
}

// The four channel sums of k adjacent column sums, in the low 64 bits.
template <int K>
inline __m128i sumAcross(const std::uint16_t* p, int runK) {
    const int k = K ? K : runK;
    __m128i s = _mm_setzero_si128();
    int j = 0;
    for (; j + 2 <= k; j += 2)
        s = _mm_add_epi16(s, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j * 4)));
    s = _mm_add_epi16(s, _mm_srli_si128(s, 8));
    if (j < k)
        s = _mm_add_epi16(s, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + j * 4)));
    return s;
}

// One output row at a time; K is k when the compiler should know it (0: it need not).
template <int K>
void reduceRows(const std::uint8_t* source, int sourceStride, int runK, std::uint8_t* dest, int destStride, int outW,
                int outH) {
    static const bool haveAvx2 = __builtin_cpu_supports("avx2");
    const int k = K ? K : runK;
    const int bytes = outW * k * 4;
    thread_local std::vector<std::uint16_t> sums;
    sums.resize(static_cast<std::size_t>(bytes));
    const int divisor = k * k;
    // A rounding multiply-high stands in for the division: exact for every sum up
    // to 255 * k * k.
    const __m128i multiplier = _mm_set1_epi16(static_cast<short>((65536 + divisor - 1) / divisor));
    const __m128i half = _mm_set1_epi16(static_cast<short>(divisor / 2));
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const auto divide = [&](__m128i v) { return _mm_mulhi_epu16(_mm_add_epi16(v, half), multiplier); };
    const std::uint8_t* rows[16];
    for (int oy = 0; oy < outH; ++oy) {
        for (int r = 0; r < k; ++r)
            rows[r] = source + static_cast<std::ptrdiff_t>(oy * k + r) * sourceStride;
        if (haveAvx2)
            sumColumnsAvx2<K>(rows, k, bytes, sums.data());
        else
            sumColumnsSse2<K>(rows, k, bytes, sums.data());
        std::uint8_t* out = dest + static_cast<std::ptrdiff_t>(oy) * destStride;
        const std::uint16_t* acc = sums.data();
        int ox = 0;
        if constexpr (K == 2) { // two outputs from two loads: pair the halves
            for (; ox + 4 <= outW; ox += 4) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + ox * 8));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + ox * 8 + 8));
                const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + ox * 8 + 16));
                const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + ox * 8 + 24));
                const __m128i lo = divide(_mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b)));
                const __m128i hi = divide(_mm_add_epi16(_mm_unpacklo_epi64(c, d), _mm_unpackhi_epi64(c, d)));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ox * 4), _mm_or_si128(_mm_packus_epi16(lo, hi), opaque));
            }
        }
        for (; ox + 2 <= outW; ox += 2) {
            const __m128i v = divide(_mm_unpacklo_epi64(sumAcross<K>(acc + ox * k * 4, k),
                                                        sumAcross<K>(acc + (ox + 1) * k * 4, k)));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + ox * 4), _mm_or_si128(_mm_packus_epi16(v, v), opaque));
        }
        if (ox < outW) {
            const __m128i v = divide(sumAcross<K>(acc + ox * k * 4, k));
            const int pixel = _mm_cvtsi128_si32(_mm_or_si128(_mm_packus_epi16(v, v), opaque));
            __builtin_memcpy(out + ox * 4, &pixel, 4);
        }
    }
}

} // namespace

void boxReduce(const std::uint8_t* source, int sourceStride, int k, std::uint8_t* dest, int destStride,
               int outW, int outH) {
    switch (k) {
    case 1: // the multiply-high has no 16-bit multiplier for 1
        for (int y = 0; y < outH; ++y) {
            const auto* in = reinterpret_cast<const std::uint32_t*>(source + std::ptrdiff_t(y) * sourceStride);
            auto* o = reinterpret_cast<std::uint32_t*>(dest + std::ptrdiff_t(y) * destStride);
            for (int x = 0; x < outW; ++x)
                o[x] = in[x] | 0xFF000000u;
        }
        return;
    // The common factors get loops the compiler can unroll.
    case 2: return reduceRows<2>(source, sourceStride, k, dest, destStride, outW, outH);
    case 3: return reduceRows<3>(source, sourceStride, k, dest, destStride, outW, outH);
    case 4: return reduceRows<4>(source, sourceStride, k, dest, destStride, outW, outH);
    case 8: return reduceRows<8>(source, sourceStride, k, dest, destStride, outW, outH);
    default: return reduceRows<0>(source, sourceStride, k, dest, destStride, outW, outH);
    }
}

} // namespace overlook
