#pragma once
// Copies of an output's picture through wlroots screen copy into shared-memory
// buffers, and their reduction to a stream's size. Session thread only.

#include "Foundation/Geometry.h"
#include "Tessera/FrameSurface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct wl_buffer;
struct wl_output;
struct wl_shm;
struct zwlr_screencopy_frame_v1;

namespace overlook::wayland {

class Session;

// Where a 32-bit pixel of a buffer from another process (a screen copy, a PipeWire
// frame) keeps its colours: each one's lowest bit in the little-endian word, and
// 8 or 10 bits each. What else the word holds (padding, alpha) is never read.
struct PixelLayout {
    int red = 16, green = 8, blue = 0;
    int bits = 8;
    friend bool operator==(const PixelLayout&, const PixelLayout&) = default;
};
// The engine's own order (B, G, R, padding in memory), and red and blue swapped.
inline constexpr PixelLayout kBgrxLayout{16, 8, 0, 8}, kRgbxLayout{0, 8, 16, 8};

// The layout of a wl_shm format; nullopt for one we cannot read (not 32 bits of
// 8- or 10-bit RGB).
std::optional<PixelLayout> shmPixelLayout(std::uint32_t shmFormat);
// "XR30" for a fourcc, the number in hex for the two formats wl_shm numbers.
std::string shmFormatName(std::uint32_t shmFormat);

// A wl_buffer over a memfd, mapped here too.
class ShmBuffer {
public:
    static std::unique_ptr<ShmBuffer> create(wl_shm* shm, std::uint32_t format, int width, int height, int stride);
    ~ShmBuffer();
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;

    bool fits(std::uint32_t f, int w, int h, int s) const { return f == format && w == width && h == height && s == stride; }
    wl_buffer* buffer = nullptr;
    std::uint8_t* data = nullptr;
    std::uint32_t format = 0;
    int width = 0, height = 0, stride = 0;

private:
    ShmBuffer() = default;
    std::size_t size_ = 0;
};

// One screen-copy frame: asks for a buffer of the compositor's choosing, copies
// into it (at once, or once something changed) and reports the outcome.
class Shot {
public:
    struct Result {
        const ShmBuffer* buffer = nullptr;
        PixelLayout layout;
        bool yInvert = false;
    };
    // The buffer to copy into (nullptr refuses the copy); it must stay until done.
    using BufferFor = std::function<ShmBuffer*(std::uint32_t format, int width, int height, int stride)>;
    // Called once: with the copy, or with nullptr when it failed. May destroy the Shot.
    using Done = std::function<void(const Result*)>;

    Shot(Session& session, wl_output* output, bool withCursor, bool waitForChange, BufferFor bufferFor, Done done);
    ~Shot();
    Shot(const Shot&) = delete;
    Shot& operator=(const Shot&) = delete;

    // After a failure: the format the compositor offered when it offered none we
    // can read (0 when the copy failed for another reason).
    std::uint32_t unreadableFormat() const { return chosen_ ? 0 : offered_; }

private:
    friend struct ShotEvents;
    void copy();
    void finish(const Result* result);

    Session& session_;
    zwlr_screencopy_frame_v1* frame_ = nullptr;
    bool waitForChange_;
    BufferFor bufferFor_;
    Done done_;
    bool chosen_ = false, copied_ = false;
    std::uint32_t format_ = 0, offered_ = 0;
    PixelLayout layout_;
    int width_ = 0, height_ = 0, stride_ = 0;
    ShmBuffer* target_ = nullptr;
    bool yInvert_ = false;
};

// Reduces a copy to `out`'s size, upright and opaque: the area filter (SIMD) for
// whole factors up to 16 in every transform (also when the copy is up to k − 1
// pixels larger, as a size rounded down leaves it), the reduced picture turned
// after, and a box-kernel convolution (pixman) for any other factor.
// `pixels` holds `height` rows of `stride` bytes, 32 bits per pixel, in the
// output's own orientation: `transform` (a wl_output_transform) turns it the way
// the desktop shows it, so `out` is as wide as the copy is high when it is odd.
void reduceInto(const std::uint8_t* pixels, int width, int height, int stride, bool yInvert, int transform,
                FrameSurface& out);
// The same for pixels in any layout: rows in another order than the engine's are
// first converted to it (10-bit colours cut to their top 8 bits), red and blue
// swapped only after the reduction, where there are fewer pixels to swap.
void reduceInto(const std::uint8_t* pixels, PixelLayout layout, int width, int height, int stride, bool yInvert,
                int transform, FrameSurface& out);

// The size of a copy of width × height as the desktop shows it.
Size uprightSize(int width, int height, int transform);

} // namespace overlook::wayland
