#include "FramePool.h"

#include <cstring>

namespace overlook {

FramePool::FramePool(int width, int height, std::size_t capacity)
    : width_(width), height_(height), capacity_(capacity) {}

std::shared_ptr<FrameSurface> FramePool::take() {
    for (auto& candidate : surfaces_)
        // The last delivered picture is kept for comparison, not written over.
        if (candidate != last_ && candidate.use_count() == 1)
            return candidate;
    auto surface = FrameSurface::allocate(width_, height_, FrameSurface::Contents::Uninitialized);
    if (surfaces_.size() < capacity_)
        surfaces_.push_back(surface);
    return surface;
}

bool FramePool::isNewPicture(const std::shared_ptr<FrameSurface>& surface) {
    if (last_ && last_ != surface && samePixels(*last_, *surface))
        return false;
    last_ = surface;
    return true;
}

void FramePool::clear() {
    surfaces_.clear();
    last_.reset();
}

bool samePixels(const FrameSurface& a, const FrameSurface& b) {
    if (a.width() != b.width() || a.height() != b.height())
        return false;
    const std::size_t rowBytes = static_cast<std::size_t>(a.width()) * 4;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.row(y), b.row(y), rowBytes) != 0)
            return false;
    return true;
}

} // namespace overlook
