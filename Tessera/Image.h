#pragma once
// An image: an immutable, lazily evaluated recipe. Building one never touches a
// pixel; a context (CpuImageContext) rasterises it when it is rendered. Copies are
// cheap and share the recipe.
//
// Image space is y-up: a surface's first memory row is the image's top, i.e. its
// highest y. A bitmap of height h therefore covers y in [0, h) with memory row r
// spanning [h - r - 1, h - r).
//
// Colours are premultiplied; every operation keeps them so. Thread-safe to share
// and read from any thread.

#include "Foundation/Geometry.h"
#include "Tessera/FrameSurface.h"

#include <memory>

namespace overlook {

// The parameters of the colour-controls operation. Neutral values change nothing.
struct ColorControls {
    float saturation = 1;
    float brightness = 0;
    float contrast = 1;

    bool isNeutral() const { return saturation == 1 && brightness == 0 && contrast == 1; }
    friend bool operator==(const ColorControls&, const ColorControls&) = default;
};

class Image {
public:
    enum class Kind { Empty, Transparent, Surface, Transform, Crop, Clamp, ColorControls, Composite };
    struct Node;

    // The empty image: no pixels, a null extent.
    Image() = default;
    // Wraps the surface without copying its pixels; extent (0, 0, width, height).
    // A null surface gives the empty image.
    static Image fromSurface(FrameSurfacePtr surface);
    // Copies `height` rows of `width` ARGB32 premultiplied pixels into an owned
    // bitmap, so the caller may go on drawing into its memory.
    static Image fromBitmap(int width, int height, int stride, const std::uint8_t* pixels);
    // The fully transparent image of infinite extent.
    static Image transparent();

    Image transformed(const AffineTransform& transform) const;
    Image cropped(const Rect& rect) const;
    // The border pixels repeat outward without end: an infinite extent.
    Image clampedToExtent() const;
    Image applyingColorControls(float saturation, float brightness = 0, float contrast = 1) const;
    // Premultiplied source-over: this image over `background`.
    Image compositedOver(const Image& background) const;

    Rect extent() const;
    Kind kind() const;
    bool isEmpty() const { return kind() == Kind::Empty; }
    // The surface of a recipe with a single surface source seen through unary
    // operations (transform, crop, clamp, colour controls); otherwise nullptr.
    FrameSurfacePtr surface() const;

    const std::shared_ptr<const Node>& node() const { return node_; }

private:
    explicit Image(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

    std::shared_ptr<const Node> node_; // null: the empty image
};

// One step of a recipe. Unary operations use `input`; a composite draws `input`
// over `background`.
struct Image::Node {
    Kind kind = Kind::Empty;
    Rect extent = Rect::null();
    FrameSurfacePtr surface;
    AffineTransform transform;
    Rect cropRect;
    ColorControls controls;
    Image input;
    Image background;
};

} // namespace overlook
