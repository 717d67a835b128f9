#include "Image.h"

namespace overlook {

Image Image::fromSurface(FrameSurfacePtr surface) {
    Image image;
    image.surface_ = std::move(surface);
    return image;
}

Image Image::transformed(const AffineTransform& t) const {
    Image image = *this;
    image.transform_ = transform_.concatenating(t);
    return image;
}

Rect Image::extent() const {
    if (!surface_)
        return Rect::null();
    return transform_.apply(Rect(0, 0, surface_->width(), surface_->height()));
}

} // namespace overlook
