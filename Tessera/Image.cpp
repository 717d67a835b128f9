#include "Image.h"

#include <cstring>

namespace overlook {

namespace {
bool hasNoArea(const Rect& r) {
    return r.isNull() || r.width == 0 || r.height == 0 || std::isnan(r.width) || std::isnan(r.height);
}
} // namespace

Image Image::fromSurface(FrameSurfacePtr surface) {
    if (!surface || surface->width() <= 0 || surface->height() <= 0)
        return {};
    auto node = std::make_shared<Node>();
    node->kind = Kind::Surface;
    node->extent = Rect(0, 0, surface->width(), surface->height());
    node->surface = std::move(surface);
    return Image(std::move(node));
}

Image Image::fromBitmap(int width, int height, int stride, const std::uint8_t* pixels) {
    if (width <= 0 || height <= 0 || !pixels)
        return {};
    auto copy = FrameSurface::allocate(width, height);
    for (int y = 0; y < height; ++y)
        std::memcpy(copy->mutableRow(y), pixels + static_cast<std::ptrdiff_t>(y) * stride,
                    static_cast<std::size_t>(width) * 4);
    return fromSurface(std::move(copy));
}

Image Image::transparent() {
    // One shared node: the view asks for it every frame.
    static const Image image = [] {
        auto node = std::make_shared<Node>();
        node->kind = Kind::Transparent;
        node->extent = Rect::infinite();
        return Image(std::move(node));
    }();
    return image;
}

Image Image::transformed(const AffineTransform& t) const {
    if (!node_ || t.isIdentity() || kind() == Kind::Transparent)
        return *this;
    // A transform that is not finite (a scale to fit a zero rectangle) leaves nothing to draw.
    for (double v : {t.a, t.b, t.c, t.d, t.tx, t.ty})
        if (!std::isfinite(v))
            return {};
    auto node = std::make_shared<Node>();
    node->kind = Kind::Transform;
    // Folding a transform of a transform keeps recipes shallow.
    if (node_->kind == Kind::Transform) {
        node->transform = node_->transform.concatenating(t);
        node->input = node_->input;
    } else {
        node->transform = t;
        node->input = *this;
    }
    node->extent = node->transform.apply(node->input.extent());
    if (hasNoArea(node->extent))
        return {};
    return Image(std::move(node));
}

Image Image::cropped(const Rect& rect) const {
    if (!node_)
        return *this;
    const Rect extent = node_->extent.intersection(rect.standardized());
    if (hasNoArea(extent))
        return {};
    if (extent == node_->extent)
        return *this;
    auto node = std::make_shared<Node>();
    node->kind = Kind::Crop;
    node->extent = extent;
    node->cropRect = extent;
    node->input = *this;
    return Image(std::move(node));
}

Image Image::clampedToExtent() const {
    if (!node_ || node_->extent.isInfinite())
        return *this;
    auto node = std::make_shared<Node>();
    node->kind = Kind::Clamp;
    node->extent = Rect::infinite();
    node->input = *this;
    return Image(std::move(node));
}

Image Image::applyingColorControls(float saturation, float brightness, float contrast) const {
    const ColorControls controls{saturation, brightness, contrast};
    // Transparent pixels stay transparent under colour controls, so only images
    // with pixels need the step.
    if (!node_ || kind() == Kind::Transparent)
        return *this;
    auto node = std::make_shared<Node>();
    node->kind = Kind::ColorControls;
    node->extent = node_->extent;
    node->controls = controls;
    node->input = *this;
    return Image(std::move(node));
}

Image Image::compositedOver(const Image& background) const {
    if (!background.node_)
        return *this;
    if (!node_)
        return background;
    auto node = std::make_shared<Node>();
    node->kind = Kind::Composite;
    node->extent = node_->extent.unionWith(background.node_->extent);
    node->input = *this;
    node->background = background;
    return Image(std::move(node));
}

Rect Image::extent() const { return node_ ? node_->extent : Rect::null(); }

Image::Kind Image::kind() const { return node_ ? node_->kind : Kind::Empty; }

FrameSurfacePtr Image::surface() const {
    for (const Node* n = node_.get(); n; n = n->input.node_.get()) {
        if (n->kind == Kind::Surface)
            return n->surface;
        if (n->kind == Kind::Composite)
            return nullptr;
    }
    return nullptr;
}

} // namespace overlook
