#include "FrameSurface.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace overlook {

FrameSurface::FrameSurface(int width, int height, int stride, std::uint8_t* pixels, Releaser release)
    : width_(width), height_(height), stride_(stride), pixels_(pixels), release_(std::move(release)) {}

FrameSurface::~FrameSurface() {
    if (release_)
        release_(pixels_);
}

std::shared_ptr<FrameSurface> FrameSurface::allocate(int width, int height, Contents contents) {
    const int stride = width * 4;
    const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    // 64-byte alignment keeps SIMD loads and pixman happy.
    void* memory = std::aligned_alloc(64, (bytes + 63) / 64 * 64 + 64);
    if (!memory)
        throw std::bad_alloc();
    if (contents == Contents::Transparent)
        std::memset(memory, 0, bytes);
    return std::make_shared<FrameSurface>(width, height, stride, static_cast<std::uint8_t*>(memory),
                                          [](std::uint8_t* p) { std::free(p); });
}

} // namespace overlook
