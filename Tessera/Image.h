#pragma once
// An image: a source (a frame surface, wrapped without a copy) seen through an
// affine transform. Immutable; cheap to copy.

#include "Foundation/Geometry.h"
#include "Tessera/FrameSurface.h"

namespace overlook {

class Image {
public:
    Image() = default;
    // Wraps the surface without copying its pixels; extent (0, 0, width, height).
    static Image fromSurface(FrameSurfacePtr surface);

    Image transformed(const AffineTransform& transform) const;
    Rect extent() const;
    bool isNull() const { return !surface_; }

    const FrameSurfacePtr& surface() const { return surface_; }
    const AffineTransform& transform() const { return transform_; }

private:
    FrameSurfacePtr surface_;
    AffineTransform transform_;
};

} // namespace overlook
