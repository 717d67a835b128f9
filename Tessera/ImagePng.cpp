#include "ImagePng.h"

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
#include <sys/mman.h>
#include <unistd.h>

namespace overlook {

namespace {

constexpr std::size_t kHugePage = 2u << 20;

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
        std::uint32_t all = 0xFF000000u;
        for (int x = 0; x < pixels.width; ++x)
            all &= row[x];
        if ((all & 0xFF000000u) != 0xFF000000u)
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

// Rows in PNG byte order, each led by the SUB filter byte: every byte minus the same
// byte of the pixel to its left. It costs little and roughly halves what deflate
// must find on screen content.
void filterRows(const RenderDestination& pixels, bool opaque, std::uint8_t* out) {
    const int bpp = opaque ? 3 : 4;
    static const bool haveSsse3 = __builtin_cpu_supports("ssse3");
    for (int y = 0; y < pixels.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(pixels.pixels + std::ptrdiff_t(y) * pixels.stride);
        *out++ = 1;
        if (opaque) {
            if (haveSsse3)
                subFilterOpaqueRowSsse3(row, pixels.width, out);
            else
                subFilterOpaqueTail(row, 0, pixels.width, out);
            out += std::ptrdiff_t(pixels.width) * 3;
            continue;
        }
        std::uint8_t pr = 0, pg = 0, pb = 0, pa = 0;
        for (int x = 0; x < pixels.width; ++x) {
            const std::uint32_t p = row[x];
            std::uint8_t r = static_cast<std::uint8_t>(p >> 16), g = static_cast<std::uint8_t>(p >> 8),
                         b = static_cast<std::uint8_t>(p);
            if (!opaque) {
                const std::uint32_t a = p >> 24;
                r = unpremultiply(r, a);
                g = unpremultiply(g, a);
                b = unpremultiply(b, a);
                out[3] = static_cast<std::uint8_t>(a - pa);
                pa = static_cast<std::uint8_t>(a);
            }
            out[0] = static_cast<std::uint8_t>(r - pr);
            out[1] = static_cast<std::uint8_t>(g - pg);
            out[2] = static_cast<std::uint8_t>(b - pb);
            pr = r, pg = g, pb = b;
            out += bpp;
        }
    }
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// Pictures smaller than this are compressed on one thread: a thread costs more
// than it saves on them.
constexpr std::size_t kSplitThreshold = 4u << 20;

std::size_t zlibStreamBound(libdeflate_compressor* compressor, std::size_t bytes) {
    return std::max<std::size_t>(libdeflate_zlib_compress_bound(compressor, bytes),
                                 2 + 2 * (compressBound(static_cast<uLong>(bytes / 2 + 1)) + 64) + 4);
}

// Raw deflate of `data` into `out` at level 1; the last part finishes the stream,
// any other ends with a sync flush (a byte-aligned block boundary that is not
// final), so the parts can simply be laid end to end. Returns the size, 0 on failure.
std::size_t deflatePart(const std::uint8_t* data, std::size_t bytes, std::uint8_t* out, std::size_t capacity,
                        bool last) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(bytes);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(capacity);
    const int status = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    const bool ok = (last ? status == Z_STREAM_END : status == Z_OK) && z.avail_in == 0;
    const std::size_t size = capacity - z.avail_out;
    deflateEnd(&z);
    return ok ? size : 0;
}

// A zlib stream of `data`. Large pictures are compressed on two cores, half each,
// with zlib's level 1 (faster on screen content than libdeflate's level 1 here:
// about 560 against 340 MB/s, at a few per cent larger output); the checksum covers
// the whole. Returns the stream's size, 0 on failure.
std::size_t compressZlibStream(libdeflate_compressor* compressor, const std::uint8_t* data, std::size_t bytes,
                               std::uint8_t* out, std::size_t capacity) {
    if (bytes < kSplitThreshold)
        return libdeflate_zlib_compress(compressor, data, bytes, out, capacity);
    const std::size_t firstBytes = bytes / 2;
    const std::size_t firstCapacity = compressBound(static_cast<uLong>(firstBytes)) + 64;
    out[0] = 0x78; // deflate, 32 KiB window
    out[1] = 0x01; // fastest compression; the header check makes 0x7801 a multiple of 31
    std::size_t firstSize = 0;
    std::thread first([&] { firstSize = deflatePart(data, firstBytes, out + 2, firstCapacity, false); });
    std::uint8_t* rest = out + 2 + firstCapacity; // moved down once the first part's size is known
    const std::size_t restSize =
        deflatePart(data + firstBytes, bytes - firstBytes, rest, capacity - 2 - firstCapacity - 4, true);
    const std::uint32_t adler = libdeflate_adler32(1, data, bytes);
    first.join();
    if (firstSize == 0 || restSize == 0)
        return 0;
    std::memmove(out + 2 + firstSize, rest, restSize);
    putBig32(out + 2 + firstSize + restSize, adler);
    return 2 + firstSize + restSize + 4;
}

} // namespace

PageBuffer::PageBuffer(std::size_t bytes) {
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    data_ = static_cast<std::uint8_t*>(std::aligned_alloc(kHugePage, rounded));
    if (!data_)
        throw std::bad_alloc();
    size_ = rounded;
    madvise(data_, rounded, MADV_HUGEPAGE); // only a hint; small pages work too
}

PageBuffer::~PageBuffer() { std::free(data_); }

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

PngData encodePng(const RenderDestination& pixels) {
    PngData png;
    if (!pixels.isValid())
        return png;
    const bool opaque = isOpaque(pixels);
    const std::size_t rowBytes = 1 + std::size_t(pixels.width) * (opaque ? 3 : 4);
    const std::size_t rawBytes = rowBytes * std::size_t(pixels.height);
    PageBuffer raw(rawBytes + 16); // slack for the filter's wide stores
    filterRows(pixels, opaque, raw.data());

    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr std::size_t kIhdr = 8 + 13 + 4, kIdatHead = 8, kChunkTail = 4, kIend = 12;
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(libdeflate_alloc_compressor(1));
    if (!compressor)
        return png;
    const std::size_t bound = zlibStreamBound(compressor.get(), rawBytes);
    png.buffer = PageBuffer(8 + kIhdr + kIdatHead + bound + kChunkTail + kIend);
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
    const std::size_t compressed = compressZlibStream(compressor.get(), raw.data(), rawBytes, idat + kIdatHead, bound);
    if (compressed == 0 || compressed > 0x7FFFFFFFu)
        return png;
    sealChunk(idat, static_cast<std::uint32_t>(compressed));

    std::uint8_t* iend = idat + kIdatHead + compressed + kChunkTail;
    std::memcpy(iend + 4, "IEND", 4);
    sealChunk(iend, 0);
    png.size = static_cast<std::size_t>(iend + kIend - out);
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
