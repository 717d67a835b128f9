#include "ImagePng.h"

#include "Tessera/Deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <tmmintrin.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <utility>
#include <vector>
#include <sys/mman.h>
#include <unistd.h>

namespace overlook {

namespace {

void putBig32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// A chunk's length, type and data are already in place at `chunk`; appends the CRC.
void sealChunk(std::uint8_t* chunk, std::uint32_t length) {
    putBig32(chunk, length);
    const std::uint32_t crc = libdeflate_crc32(0, chunk + 4, length + 4);
    putBig32(chunk + 8 + length, crc);
}

bool isOpaque(const RenderDestination& pixels) {
    for (int y = 0; y < pixels.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(pixels.pixels + std::ptrdiff_t(y) * pixels.stride);
        __m128i all4 = _mm_set1_epi32(-1);
        int x = 0;
        for (; x + 4 <= pixels.width; x += 4)
            all4 = _mm_and_si128(all4, _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)));
        std::uint32_t all = 0xFF000000u;
        for (; x < pixels.width; ++x)
            all &= row[x];
        // Opaque when the alpha byte of every lane kept all its bits.
        const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
        const bool lanes = _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(all4, opaque), opaque)) == 0xFFFF;
        if (!lanes || (all & 0xFF000000u) != 0xFF000000u)
            return false;
    }
    return true;
}

// PNG wants straight alpha; our pixels are premultiplied.
inline std::uint8_t unpremultiply(std::uint32_t c, std::uint32_t a) {
    return static_cast<std::uint8_t>(a == 0 ? 0 : (c * 255 + a / 2) / a);
}

// The SUB-filtered RGB bytes of pixels [from, width) of an opaque row.
void subFilterOpaqueTail(const std::uint32_t* row, int from, int width, std::uint8_t* out) {
    for (int x = from; x < width; ++x) {
        const std::uint32_t p = row[x], q = x > 0 ? row[x - 1] : 0;
        out[3 * x] = static_cast<std::uint8_t>((p >> 16) - (q >> 16));
        out[3 * x + 1] = static_cast<std::uint8_t>((p >> 8) - (q >> 8));
        out[3 * x + 2] = static_cast<std::uint8_t>(p - q);
    }
}

// Four pixels at a time: the byte-wise difference with the pixels one to the left,
// shuffled from BGRA words into RGB triples. Each store writes 4 bytes past the 12
// it keeps; the next store (or the next row, or the buffer's slack) covers them.
__attribute__((target("ssse3"))) void subFilterOpaqueRowSsse3(const std::uint32_t* row, int width,
                                                              std::uint8_t* out) {
    const __m128i toRgb = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    subFilterOpaqueTail(row, 0, std::min(width, 1), out);
    int x = 1;
    for (; x + 4 <= width; x += 4) {
        const __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x),
                         _mm_shuffle_epi8(_mm_sub_epi8(current, left), toRgb));
    }
    subFilterOpaqueTail(row, x, width, out);
}

// One row in PNG byte order, led by the SUB filter byte: every byte minus the same
// byte of the pixel to its left. It costs little and roughly halves what deflate
// must find on screen content. Writes up to 4 bytes past the row (the batch's slack).
void filterRow(const std::uint32_t* row, int width, bool opaque, std::uint8_t* out) {
    static const bool haveSsse3 = __builtin_cpu_supports("ssse3");
    *out++ = 1;
    if (opaque) {
        if (haveSsse3)
            subFilterOpaqueRowSsse3(row, width, out);
        else
            subFilterOpaqueTail(row, 0, width, out);
        return;
    }
    std::uint8_t pr = 0, pg = 0, pb = 0, pa = 0;
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = row[x];
        const std::uint32_t a = p >> 24;
        const std::uint8_t r = unpremultiply((p >> 16) & 0xFF, a), g = unpremultiply((p >> 8) & 0xFF, a),
                           b = unpremultiply(p & 0xFF, a);
        out[0] = static_cast<std::uint8_t>(r - pr);
        out[1] = static_cast<std::uint8_t>(g - pg);
        out[2] = static_cast<std::uint8_t>(b - pb);
        out[3] = static_cast<std::uint8_t>(a - pa);
        pr = r, pg = g, pb = b, pa = static_cast<std::uint8_t>(a);
        out += 4;
    }
}

// Filtered rows go to deflate a batch at a time, so they are compressed while
// still in cache and the whole filtered picture never exists: fresh pages cost
// about as much to fault in as the filtering itself.
constexpr std::size_t kBatchBytes = 128u << 10;

// Pictures smaller than this are compressed on one thread: a thread costs more
// than it saves on them.
constexpr std::size_t kSplitThreshold = 4u << 20;

// How many of `size` bytes are zero. SUB-filtered screen content is mostly zeros
// (flat areas, runs of one colour); a photo's filtered bytes rarely are.
std::size_t zeroBytes(const std::uint8_t* p, std::size_t size) {
    // Each zero byte adds 1 to a 64-bit lane (sum of absolute differences);
    // popcount without -mpopcnt would be a library call per block.
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
    __m128i sums = zero;
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        const __m128i isZero = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_and_si128(isZero, one), zero));
    }
    std::size_t count = static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                        static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    for (; i < size; ++i)
        count += p[i] == 0;
    return count;
}

// Below this share of zero bytes a batch is written as literals only: on
// photo-like content a search for matches finds few yet looks at every byte, and
// is both slower and larger (bench/png-encoding). Filtered desktop and text
// batches there are 75–100 % zeros, a blurred photo's 45–55 %.
constexpr double kPhotoZeroShare = 0.65;

// Matches reach back this far (deflate's window): the end of the batch before
// stays in front of the next one.
constexpr std::size_t kHistory = 32u << 10;

// Rows [firstRow, endRow) as raw deflate data (Deflate.h), a block per batch. The
// last part finishes the stream; any other ends on a byte boundary with a block
// that is not final, so the parts can simply be laid end to end.
struct Part {
    int firstRow = 0, endRow = 0;
    bool last = false;
    std::unique_ptr<std::uint8_t, decltype(&std::free)> data{nullptr, &std::free};
    std::size_t size = 0, rawBytes = 0;
    std::uint32_t adler = 1;
    bool ok = false;
};

void compressPart(const RenderDestination& pixels, bool opaque, Part& part) {
    const std::size_t rowBytes = 1 + std::size_t(pixels.width) * (opaque ? 3 : 4);
    const int batchRows = static_cast<int>(std::max<std::size_t>(1, kBatchBytes / rowBytes));
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kHistory + rowBytes * batchRows + 16]);
    std::uint8_t* const batch = buffer.get() + kHistory;
    part.rawBytes = rowBytes * std::size_t(part.endRow - part.firstRow);
    const std::size_t batches = std::size_t(part.endRow - part.firstRow) / batchRows + 1;
    // malloc leaves the pages untouched until they are written.
    part.data.reset(static_cast<std::uint8_t*>(std::malloc(DeflateWriter::bound(part.rawBytes, batches))));
    if (!part.data)
        return;
    DeflateWriter writer(part.data.get());
    std::size_t history = 0;
    for (int y = part.firstRow; y < part.endRow; y += batchRows) {
        const int rows = std::min(batchRows, part.endRow - y);
        for (int i = 0; i < rows; ++i)
            filterRow(reinterpret_cast<const std::uint32_t*>(pixels.pixels + std::ptrdiff_t(y + i) * pixels.stride),
                      pixels.width, opaque, batch + rowBytes * i);
        const std::size_t bytes = rowBytes * rows;
        part.adler = static_cast<std::uint32_t>(libdeflate_adler32(part.adler, batch, bytes));
        if (double(zeroBytes(batch, bytes)) < kPhotoZeroShare * double(bytes))
            writer.literals(batch, bytes);
        else
            writer.matches(batch, bytes, history);
        const std::size_t keep = std::min(kHistory, history + bytes);
        std::memmove(batch - keep, batch + bytes - keep, keep);
        history = keep;
    }
    part.size = writer.finish(part.last);
    part.ok = true;
}

} // namespace

PngData encodePng(const RenderDestination& pixels, Alpha alpha) {
    PngData png;
    if (!pixels.isValid())
        return png;
    const bool opaque = alpha == Alpha::Ignore || isOpaque(pixels);
    const std::size_t rowBytes = 1 + std::size_t(pixels.width) * (opaque ? 3 : 4);
    const std::size_t rawBytes = rowBytes * std::size_t(pixels.height);

    // Large pictures are compressed in parts of whole rows, one core each.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const int partCount =
        rawBytes < kSplitThreshold ? 1 : static_cast<int>(std::min({cores, 4u, unsigned(pixels.height)}));
    std::vector<Part> parts(partCount);
    for (int k = 0; k < partCount; ++k) {
        parts[k].firstRow = pixels.height * k / partCount;
        parts[k].endRow = pixels.height * (k + 1) / partCount;
        parts[k].last = k == partCount - 1;
    }
    {
        std::vector<std::jthread> helpers;
        for (int k = 1; k < partCount; ++k)
            helpers.emplace_back([&, k] { compressPart(pixels, opaque, parts[k]); });
        compressPart(pixels, opaque, parts[0]);
    }
    std::size_t compressed = 2 + 4; // zlib header and checksum
    std::uint32_t adler = parts[0].adler;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (!parts[k].ok)
            return png;
        compressed += parts[k].size;
        if (k > 0)
            adler = static_cast<std::uint32_t>(
                adler32_combine(adler, parts[k].adler, static_cast<z_off_t>(parts[k].rawBytes)));
    }
    if (compressed > 0x7FFFFFFFu)
        return png;

    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr std::size_t kIhdr = 8 + 13 + 4, kIdatHead = 8, kChunkTail = 4, kIend = 12;
    const std::size_t fileSize = 8 + kIhdr + kIdatHead + compressed + kChunkTail + kIend;
    png.buffer = PageBuffer(fileSize);
    std::uint8_t* out = png.buffer.data();

    std::memcpy(out, kSignature, 8);
    std::uint8_t* ihdr = out + 8;
    std::memcpy(ihdr + 4, "IHDR", 4);
    putBig32(ihdr + 8, static_cast<std::uint32_t>(pixels.width));
    putBig32(ihdr + 12, static_cast<std::uint32_t>(pixels.height));
    ihdr[16] = 8;                // bits per sample
    ihdr[17] = opaque ? 2 : 6;   // RGB or RGBA
    ihdr[18] = ihdr[19] = ihdr[20] = 0; // deflate, adaptive filtering, no interlace
    sealChunk(ihdr, 13);

    std::uint8_t* idat = ihdr + kIhdr;
    std::memcpy(idat + 4, "IDAT", 4);
    std::uint8_t* stream = idat + kIdatHead;
    *stream++ = 0x78; // deflate, 32 KiB window
    *stream++ = 0x01; // fastest compression; the header check makes 0x7801 a multiple of 31
    for (const Part& part : parts) {
        std::memcpy(stream, part.data.get(), part.size);
        stream += part.size;
    }
    putBig32(stream, adler);
    sealChunk(idat, static_cast<std::uint32_t>(compressed));

    std::uint8_t* iend = idat + kIdatHead + compressed + kChunkTail;
    std::memcpy(iend + 4, "IEND", 4);
    sealChunk(iend, 0);
    png.size = fileSize;
    return png;
}

namespace {

// Writes all of `bytes` to a file opened with `flags`; on failure a partly written
// file is removed (the flags made it ours: it is new, or we were told to replace it).
std::optional<std::string> writeFile(const std::string& path, int flags, const std::uint8_t* bytes, std::size_t size,
                                     int* errorCode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) {
        const int code = errno;
        if (errorCode)
            *errorCode = code;
        return "Cannot create " + path + ": " + std::strerror(code);
    }
    std::size_t done = 0;
    int error = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        ::unlink(path.c_str());
        if (errorCode)
            *errorCode = error;
        return "Cannot write " + path + ": " + std::strerror(error);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> writeNewFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                                        int* errorCode) {
    return writeFile(path, O_EXCL, bytes, size, errorCode);
}

std::optional<std::string> writePng(const RenderDestination& pixels, const std::string& path) {
    if (!pixels.isValid())
        return "there are no pixels to write";
    const PngData png = encodePng(pixels);
    if (png.size == 0)
        return "the picture could not be encoded";
    return writeFile(path, O_TRUNC, png.data(), png.size, nullptr);
}

} // namespace overlook
