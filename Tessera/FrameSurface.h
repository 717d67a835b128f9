#pragma once
// A captured frame or snapshot in memory: 32-bit BGRA (premultiplied alpha, the
// byte order of a little-endian ARGB32 word), rows of `stride` bytes, first row
// at the top of the picture. Shared immutably between the capture back end, the
// streamer's latest image and the renderer; the memory goes back to its owner
// (a pool, an SHM segment) when the last reference is dropped.

#include <cstdint>
#include <functional>
#include <memory>

namespace overlook {

class FrameSurface {
public:
    using Releaser = std::function<void(std::uint8_t*)>;

    // Wraps memory that `release` gives back when the surface dies.
    FrameSurface(int width, int height, int stride, std::uint8_t* pixels, Releaser release);
    enum class Contents { Transparent, Uninitialized };
    // Allocates memory of its own: zeroed (transparent black), or left as it is for
    // a caller that writes every pixel anyway.
    static std::shared_ptr<FrameSurface> allocate(int width, int height,
                                                  Contents contents = Contents::Transparent);

    ~FrameSurface();
    FrameSurface(const FrameSurface&) = delete;
    FrameSurface& operator=(const FrameSurface&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }
    const std::uint8_t* data() const { return pixels_; }
    std::uint8_t* mutableData() { return pixels_; }
    const std::uint32_t* row(int y) const {
        return reinterpret_cast<const std::uint32_t*>(pixels_ + static_cast<std::ptrdiff_t>(y) * stride_);
    }
    std::uint32_t* mutableRow(int y) {
        return reinterpret_cast<std::uint32_t*>(pixels_ + static_cast<std::ptrdiff_t>(y) * stride_);
    }
    // The pixel as a 0xAARRGGBB word.
    std::uint32_t pixel(int x, int y) const { return row(y)[x]; }

private:
    int width_;
    int height_;
    int stride_;
    std::uint8_t* pixels_;
    Releaser release_;
};

using FrameSurfacePtr = std::shared_ptr<const FrameSurface>;

} // namespace overlook
