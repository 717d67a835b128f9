#include "PngWriter.h"

#include <libdeflate.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <memory>
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

// Rows in PNG byte order, each led by the SUB filter byte: every byte minus the same
// byte of the pixel to its left. It costs little and roughly halves what deflate
// must find on screen content.
void filterRows(const RenderDestination& pixels, bool opaque, std::uint8_t* out) {
    const int bpp = opaque ? 3 : 4;
    for (int y = 0; y < pixels.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(pixels.pixels + std::ptrdiff_t(y) * pixels.stride);
        *out++ = 1;
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
    PageBuffer raw(rawBytes);
    filterRows(pixels, opaque, raw.data());

    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr std::size_t kIhdr = 8 + 13 + 4, kIdatHead = 8, kChunkTail = 4, kIend = 12;
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(libdeflate_alloc_compressor(1));
    if (!compressor)
        return png;
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), rawBytes);
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
    const std::size_t compressed =
        libdeflate_zlib_compress(compressor.get(), raw.data(), rawBytes, idat + kIdatHead, bound);
    if (compressed == 0 || compressed > 0x7FFFFFFFu)
        return png;
    sealChunk(idat, static_cast<std::uint32_t>(compressed));

    std::uint8_t* iend = idat + kIdatHead + compressed + kChunkTail;
    std::memcpy(iend + 4, "IEND", 4);
    sealChunk(iend, 0);
    png.size = static_cast<std::size_t>(iend + kIend - out);
    return png;
}

std::optional<std::string> writeNewFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                                        int* errorCode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
        ::unlink(path.c_str()); // ours: it did not exist before O_EXCL made it
        if (errorCode)
            *errorCode = error;
        return "Cannot write " + path + ": " + std::strerror(error);
    }
    return std::nullopt;
}

} // namespace overlook
