#include "FrameSurface.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

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
    // 64-byte alignment keeps SIMD loads and pixman happy. Full-size pictures (8 MB
    // for 1920 × 1080) are put on huge pages where the kernel offers them: faulting
    // in 4 KiB pages one by one costs milliseconds per picture.
    constexpr std::size_t kHugePage = 2u << 20;
    const bool large = bytes >= kHugePage;
    const std::size_t alignment = large ? kHugePage : 64;
    const std::size_t size = (bytes + 64 + alignment - 1) / alignment * alignment;
    void* memory = std::aligned_alloc(alignment, size);
    if (!memory)
        throw std::bad_alloc();
    if (large)
        madvise(memory, size, MADV_HUGEPAGE); // only a hint
    if (contents == Contents::Transparent)
        std::memset(memory, 0, bytes);
    return std::make_shared<FrameSurface>(width, height, stride, static_cast<std::uint8_t*>(memory),
                                          [](std::uint8_t* p) { std::free(p); });
}

} // namespace overlook
