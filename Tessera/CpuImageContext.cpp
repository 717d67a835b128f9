#include "CpuImageContext.h"

#include <pixman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace overlook {

// Luminance weights of the grey conversion (Rec. 709).
constexpr double kLumaRed = 0.2126;
constexpr double kLumaGreen = 0.7152;
constexpr double kLumaBlue = 0.0722;

// ---------------------------------------------------------------------------
// Colour matrices

ColorMatrix ColorMatrix::from(const ColorControls& c) {
    // Colour controls work on unpremultiplied colour, but each step is linear in
    // premultiplied terms: saturation mixes a channel with the luminance,
    // brightness adds b·alpha, contrast maps C to k·C + (1 − k)·alpha/2.
    ColorMatrix m;
    const double s = c.saturation, b = c.brightness, k = c.contrast;
    const double luma[3] = {kLumaRed, kLumaGreen, kLumaBlue};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            m.rows[i][j] = k * ((1 - s) * luma[j] + (i == j ? s : 0));
        m.rows[i][3] = k * b + 0.5 * (1 - k);
    }
    return m;
}

ColorMatrix ColorMatrix::after(const ColorMatrix& first) const {
    ColorMatrix out;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 4; ++j) {
            double v = 0;
            for (int k = 0; k < 3; ++k)
                v += rows[i][k] * first.rows[k][j];
            if (j == 3)
                v += rows[i][3]; // alpha passes through `first` unchanged
            out.rows[i][j] = v;
        }
    }
    return out;
}

bool ColorMatrix::isIdentity() const { return rows == ColorMatrix{}.rows; }

void applyColorMatrix(const ColorMatrix& matrix, std::uint32_t* pixels, int count) {
    // 16.16 fixed point. A row whose colour weights add up to one keeps that sum
    // exactly, so grey stays grey and white stays white.
    std::int64_t m[3][4];
    for (int i = 0; i < 3; ++i) {
        const auto& r = matrix.rows[i];
        m[i][0] = std::llround(r[0] * 65536);
        m[i][2] = std::llround(r[2] * 65536);
        m[i][1] = std::llround((r[0] + r[1] + r[2]) * 65536) - m[i][0] - m[i][2];
        m[i][3] = std::llround(r[3] * 65536);
    }
    for (int n = 0; n < count; ++n) {
        const std::uint32_t p = pixels[n];
        const std::int64_t a = p >> 24;
        if (a == 0)
            continue;
        const std::int64_t c[3] = {(p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF};
        std::uint32_t out = static_cast<std::uint32_t>(a) << 24;
        for (int i = 0; i < 3; ++i) {
            std::int64_t v = (m[i][0] * c[0] + m[i][1] * c[1] + m[i][2] * c[2] + m[i][3] * a + 32768) >> 16;
            v = std::clamp<std::int64_t>(v, 0, a);
            out |= static_cast<std::uint32_t>(v) << (16 - 8 * i);
        }
        pixels[n] = out;
    }
}

// ---------------------------------------------------------------------------
// Layers

struct CpuImageContext::Layer {
    const FrameSurface* surface = nullptr;
    // Surface memory coordinates (x right, y down from the first row) to
    // destination pixels.
    AffineTransform toDest;
    Rect clip = Rect::infinite(); // destination pixels
    bool clamped = false;
    // The sampled part of the surface: all of it, or the crop under a clamp.
    int sx = 0, sy = 0, sw = 0, sh = 0;
    ColorMatrix matrix;
    bool hasMatrix = false;
};

struct CpuImageContext::CachedImage {
    const std::uint8_t* data = nullptr;
    int width = 0, height = 0, stride = 0;
    pixman_image_t* image = nullptr;
    std::uint64_t lastUse = 0;
};

namespace {

bool isEmptyArea(const Rect& r) { return r.isNull() || r.width <= 0 || r.height <= 0; }

bool isIntegerTranslation(const AffineTransform& t) {
    return t.isTranslationOnly() && t.tx == std::floor(t.tx) && t.ty == std::floor(t.ty);
}

int clampToInt(double v, int lo, int hi) {
    if (!(v > lo)) // also catches NaN
        return lo;
    if (v > hi)
        return hi;
    return static_cast<int>(v);
}

pixman_transform_t toPixman(const AffineTransform& t) {
    pixman_transform_t p;
    p.matrix[0][0] = pixman_double_to_fixed(t.a);
    p.matrix[0][1] = pixman_double_to_fixed(t.c);
    p.matrix[0][2] = pixman_double_to_fixed(t.tx);
    p.matrix[1][0] = pixman_double_to_fixed(t.b);
    p.matrix[1][1] = pixman_double_to_fixed(t.d);
    p.matrix[1][2] = pixman_double_to_fixed(t.ty);
    p.matrix[2][0] = 0;
    p.matrix[2][1] = 0;
    p.matrix[2][2] = pixman_fixed_1;
    return p;
}

std::atomic<long> gLiveImages{0};

// A pixman image over memory the context does not own, counted until pixman frees it.
pixman_image_t* countedImage(int width, int height, std::uint32_t* bits, int stride) {
    pixman_image_t* image = pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, bits, stride);
    if (image) {
        ++gLiveImages;
        pixman_image_set_destroy_function(image, [](pixman_image_t*, void*) { --gLiveImages; }, nullptr);
    }
    return image;
}

} // namespace

long CpuImageContext::liveImageCount() { return gLiveImages.load(); }

CpuImageContext::CpuImageContext() = default;

CpuImageContext::~CpuImageContext() {
    for (auto* cache : {&sources_, &destinations_})
        for (auto& c : *cache)
            pixman_image_unref(c.image);
    if (scratch_)
        pixman_image_unref(scratch_);
}

std::optional<RenderError> CpuImageContext::clear(const RenderDestination& d) {
    if (!d.isValid())
        return RenderError{"Cannot clear an invalid render destination (" + std::to_string(d.width) + " × " +
                           std::to_string(d.height) + ", stride " + std::to_string(d.stride) + ")"};
    if (d.stride == d.width * 4) {
        std::memset(d.pixels, 0, static_cast<std::size_t>(d.stride) * d.height);
    } else {
        for (int y = 0; y < d.height; ++y)
            std::memset(d.pixels + static_cast<std::ptrdiff_t>(y) * d.stride, 0, static_cast<std::size_t>(d.width) * 4);
    }
    return std::nullopt;
}

std::optional<RenderError> CpuImageContext::render(const Image& image, const Rect& fromRect,
                                                   const RenderDestination& d, Point at) {
    if (!d.isValid())
        return RenderError{"Cannot render into an invalid render destination (" + std::to_string(d.width) +
                           " × " + std::to_string(d.height) + ", stride " + std::to_string(d.stride) + ")"};
    if (!std::isfinite(at.x) || !std::isfinite(at.y))
        return RenderError{"Cannot render at a point that is not finite"};
    const Rect from = fromRect.standardized();
    if (!from.isNull() && (from.isInfinite() || !std::isfinite(from.x) || !std::isfinite(from.y) ||
                           !std::isfinite(from.width) || !std::isfinite(from.height)))
        return RenderError{"Cannot render a rectangle of infinite or undefined size"};

    layers_.clear();
    intermediates_.clear();
    lastLayerCount_ = 0;
    if (isEmptyArea(from))
        return std::nullopt;

    const AffineTransform toDest = AffineTransform::translation(at.x - from.minX(), at.y - from.minY());
    flatten(image, toDest, toDest.apply(from), ColorMatrix{});
    lastLayerCount_ = layers_.size();
    if (layers_.empty())
        return std::nullopt;

    pixman_image_t* destination = imageFor(d.pixels, d.width, d.height, d.stride, destinations_, 2);
    const IntRect bounds{0, 0, d.width, d.height};
    for (const Layer& layer : layers_)
        drawLayer(layer, destination, bounds);
    return std::nullopt;
}

void CpuImageContext::flatten(const Image& image, const AffineTransform& toDest, const Rect& clip,
                              const ColorMatrix& matrix) {
    const Image::Node* node = image.node().get();
    if (!node || isEmptyArea(clip))
        return;
    switch (node->kind) {
    case Image::Kind::Empty:
    case Image::Kind::Transparent:
        return;
    case Image::Kind::Surface: {
        Layer layer;
        layer.surface = node->surface.get();
        // The first memory row is the image's top, its highest y.
        const AffineTransform rowsToImage{1, 0, 0, -1, 0, static_cast<double>(node->surface->height())};
        layer.toDest = rowsToImage.concatenating(toDest);
        layer.clip = clip;
        layer.sw = node->surface->width();
        layer.sh = node->surface->height();
        layer.matrix = matrix;
        layer.hasMatrix = !matrix.isIdentity();
        layers_.push_back(layer);
        return;
    }
    case Image::Kind::Transform:
        flatten(node->input, node->transform.concatenating(toDest), clip, matrix);
        return;
    case Image::Kind::Crop:
        flatten(node->input, toDest, clip.intersection(toDest.apply(node->cropRect)), matrix);
        return;
    case Image::Kind::ColorControls:
        // Colour controls are linear on premultiplied pixels, so they distribute
        // over the layers below and can run on each layer's own pixels.
        flatten(node->input, toDest, clip, matrix.after(ColorMatrix::from(node->controls)));
        return;
    case Image::Kind::Composite:
        flatten(node->background, toDest, clip, matrix);
        flatten(node->input, toDest, clip, matrix);
        return;
    case Image::Kind::Clamp:
        flattenClamp(node->input, toDest, clip, matrix);
        return;
    }
}

void CpuImageContext::flattenClamp(const Image& input, const AffineTransform& toDest, const Rect& clip,
                                   const ColorMatrix& matrix) {
    const std::size_t first = layers_.size();
    flatten(input, toDest, Rect::infinite(), matrix);
    const std::size_t count = layers_.size() - first;
    if (count == 0)
        return;
    if (count == 1 && !layers_[first].clamped) {
        // One source: pixman's PAD repeat does the clamp. A crop inside the clamp
        // selects the part of the source whose border repeats.
        Layer& layer = layers_[first];
        if (!layer.clip.isInfinite()) {
            const Rect part = layer.toDest.inverted().apply(layer.clip).intersection(Rect(0, 0, layer.sw, layer.sh));
            const int x0 = clampToInt(std::round(part.minX()), 0, layer.sw);
            const int y0 = clampToInt(std::round(part.minY()), 0, layer.sh);
            const int x1 = clampToInt(std::round(part.maxX()), 0, layer.sw);
            const int y1 = clampToInt(std::round(part.maxY()), 0, layer.sh);
            if (part.isNull() || x1 <= x0 || y1 <= y0) {
                layers_.resize(first);
                return;
            }
            layer.sx = x0;
            layer.sy = y0;
            layer.sw = x1 - x0;
            layer.sh = y1 - y0;
        }
        layer.clamped = true;
        layer.clip = clip;
        return;
    }

    // Several sources: draw them once into a bitmap of the input's extent and
    // clamp that. Not on the renderer's path, so the allocation is acceptable.
    layers_.resize(first);
    const Rect e = input.extent();
    const double x0 = std::floor(e.minX()), y0 = std::floor(e.minY());
    const double w = std::ceil(e.maxX()) - x0, h = std::ceil(e.maxY()) - y0;
    if (!(w > 0 && h > 0 && w * h <= 64.0 * 1024 * 1024))
        return;
    auto bitmap = FrameSurface::allocate(static_cast<int>(w), static_cast<int>(h));
    CpuImageContext nested;
    nested.render(input, Rect(x0, y0, w, h),
                  RenderDestination{bitmap->mutableData(), bitmap->width(), bitmap->height(), bitmap->stride()},
                  Point{0, 0});
    Layer layer;
    layer.surface = bitmap.get();
    // The bitmap was rendered with the smallest y in its first row.
    layer.toDest = AffineTransform::translation(x0, y0).concatenating(toDest);
    layer.clip = clip;
    layer.clamped = true;
    layer.sw = bitmap->width();
    layer.sh = bitmap->height();
    layer.matrix = matrix;
    layer.hasMatrix = !matrix.isIdentity();
    layers_.push_back(layer);
    intermediates_.push_back(std::move(bitmap));
}

void CpuImageContext::drawLayer(const Layer& layer, pixman_image_t* destination, const IntRect& bounds) {
    const FrameSurface& s = *layer.surface;
    const AffineTransform t = AffineTransform::translation(layer.sx, layer.sy).concatenating(layer.toDest);
    const Rect sampled(0, 0, layer.sw, layer.sh);
    // Layers are clipped to their own extent, so PAD only keeps bilinear edges
    // opaque where neighbouring displays meet; clamped layers repeat for real.
    const Rect area = layer.clamped ? layer.clip : layer.clip.intersection(t.apply(sampled));
    if (isEmptyArea(area))
        return;
    // Rounding each edge to the nearest pixel lets adjacent layers tile without seams.
    const IntRect region{clampToInt(std::round(area.minX()), bounds.x0, bounds.x1),
                         clampToInt(std::round(area.minY()), bounds.y0, bounds.y1),
                         clampToInt(std::round(area.maxX()), bounds.x0, bounds.x1),
                         clampToInt(std::round(area.maxY()), bounds.y0, bounds.y1)};
    if (region.isEmpty())
        return;

    pixman_image_t* source =
        imageFor(s.data() + static_cast<std::ptrdiff_t>(layer.sy) * s.stride() + layer.sx * 4, layer.sw, layer.sh,
                 s.stride(), sources_, 16);
    Sampling sampling{source, 0, 0};
    if (isIntegerTranslation(t)) {
        pixman_image_set_transform(source, nullptr);
        pixman_image_set_filter(source, PIXMAN_FILTER_NEAREST, nullptr, 0);
        sampling.offsetX = -static_cast<int>(t.tx);
        sampling.offsetY = -static_cast<int>(t.ty);
    } else {
        const pixman_transform_t inverse = toPixman(t.inverted());
        pixman_image_set_transform(source, &inverse);
        pixman_image_set_filter(source, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    }
    pixman_image_set_repeat(source, layer.clamped || !isIntegerTranslation(t) ? PIXMAN_REPEAT_PAD
                                                                              : PIXMAN_REPEAT_NONE);

    if (!layer.clamped || t.b != 0 || t.c != 0) {
        drawRegion(layer, sampling, destination, region);
        return;
    }
    // A clamped layer covers the whole region, but outside the source's own box
    // only the runs of non-transparent border pixels paint anything (for the
    // crosshair: two thin lines), so only those strips are composited.
    const Rect box = t.apply(sampled);
    const IntRect centre{clampToInt(std::floor(box.minX()) - 1, region.x0, region.x1),
                         clampToInt(std::floor(box.minY()) - 1, region.y0, region.y1),
                         clampToInt(std::ceil(box.maxX()) + 1, region.x0, region.x1),
                         clampToInt(std::ceil(box.maxY()) + 1, region.y0, region.y1)};
    drawClampedBorders(layer, sampling, destination, region, centre);
}

void CpuImageContext::drawClampedBorders(const Layer& layer, const Sampling& source, pixman_image_t* destination,
                                         const IntRect& region, const IntRect& centre) {
    const FrameSurface& s = *layer.surface;
    const AffineTransform t = AffineTransform::translation(layer.sx, layer.sy).concatenating(layer.toDest);
    auto pixelAt = [&](int u, int v) {
        return s.pixel(layer.sx + std::clamp(u, 0, layer.sw - 1), layer.sy + std::clamp(v, 0, layer.sh - 1));
    };
    // Calls `draw(lo, hi)` with the destination interval (on one axis) of each run
    // of non-transparent pixels along a border line of `length` pixels; runs that
    // touch an end of the line repeat outward without end.
    auto forEachRun = [](int length, double scale, double offset, auto&& alphaAt, auto&& draw) {
        int u = 0;
        while (u < length) {
            while (u < length && alphaAt(u) == 0)
                ++u;
            if (u == length)
                break;
            const int u0 = u;
            while (u < length && alphaAt(u) != 0)
                ++u;
            double lo = scale * u0 + offset, hi = scale * u + offset;
            bool openLo = u0 == 0, openHi = u == length;
            if (lo > hi) {
                std::swap(lo, hi);
                std::swap(openLo, openHi);
            }
            // One extra pixel each side for the bilinear filter's reach.
            draw(openLo ? INT32_MIN / 2 : static_cast<int>(std::floor(lo)) - 1,
                 openHi ? INT32_MAX / 2 : static_cast<int>(std::ceil(hi)) + 1);
        }
    };
    // Which border line (0 or last) a destination coordinate outside the box reads.
    const AffineTransform inverse = t.inverted();
    auto borderRow = [&](int y) { return inverse.d * (y + 0.5) + inverse.ty < layer.sh / 2.0 ? 0 : layer.sh - 1; };
    auto borderColumn = [&](int x) { return inverse.a * (x + 0.5) + inverse.tx < layer.sw / 2.0 ? 0 : layer.sw - 1; };

    auto horizontalBand = [&](int y0, int y1) {
        if (y1 <= y0)
            return;
        const int v = borderRow(y0);
        forEachRun(
            layer.sw, t.a, t.tx, [&](int u) { return pixelAt(u, v) >> 24; },
            [&](int lo, int hi) {
                const IntRect r{std::max(lo, region.x0), y0, std::min(hi, region.x1), y1};
                if (!r.isEmpty())
                    drawRegion(layer, source, destination, r);
            });
    };
    auto verticalBand = [&](int x0, int x1) {
        if (x1 <= x0)
            return;
        const int u = borderColumn(x0);
        forEachRun(
            layer.sh, t.d, t.ty, [&](int v) { return pixelAt(u, v) >> 24; },
            [&](int lo, int hi) {
                const IntRect r{x0, std::max(lo, std::max(region.y0, centre.y0)), x1,
                                std::min(hi, std::min(region.y1, centre.y1))};
                if (!r.isEmpty())
                    drawRegion(layer, source, destination, r);
            });
    };

    // The box's rows and columns, clamped to the region; empty when the box lies
    // outside it, in which case the bands cover the region alone.
    const bool boxRowsInside = centre.y1 > centre.y0;
    horizontalBand(region.y0, boxRowsInside ? centre.y0 : (centre.y0 <= region.y0 ? region.y0 : region.y1));
    horizontalBand(boxRowsInside ? centre.y1 : (centre.y0 <= region.y0 ? region.y0 : region.y1), region.y1);
    if (boxRowsInside) {
        verticalBand(region.x0, centre.x0);
        verticalBand(centre.x1, region.x1);
        if (!centre.isEmpty())
            drawRegion(layer, source, destination, centre);
    }
}

void CpuImageContext::drawRegion(const Layer& layer, const Sampling& source, pixman_image_t* destination,
                                 const IntRect& region) {
    const int w = region.x1 - region.x0, h = region.y1 - region.y0;
    const int sx = region.x0 + source.offsetX, sy = region.y0 + source.offsetY;
    if (!layer.hasMatrix) {
        pixman_image_composite32(PIXMAN_OP_OVER, source.image, nullptr, destination, sx, sy, 0, 0, region.x0,
                                 region.y0, w, h);
        return;
    }
    // Colour controls act on the layer's own pixels before they meet what lies
    // below: sample into the scratch buffer, adjust, then composite.
    pixman_image_t* scratch = scratchFor(pixman_image_get_width(destination), pixman_image_get_height(destination));
    pixman_image_composite32(PIXMAN_OP_SRC, source.image, nullptr, scratch, sx, sy, 0, 0, region.x0, region.y0, w, h);
    for (int y = region.y0; y < region.y1; ++y)
        applyColorMatrix(layer.matrix, scratchPixels_.data() + static_cast<std::size_t>(y) * scratchWidth_ + region.x0, w);
    pixman_image_composite32(PIXMAN_OP_OVER, scratch, nullptr, destination, region.x0, region.y0, 0, 0, region.x0,
                             region.y0, w, h);
}

pixman_image_t* CpuImageContext::imageFor(const std::uint8_t* data, int width, int height, int stride,
                                          std::vector<CachedImage>& cache, std::size_t capacity) {
    ++useCounter_;
    for (auto& c : cache) {
        if (c.data == data && c.width == width && c.height == height && c.stride == stride) {
            c.lastUse = useCounter_;
            return c.image;
        }
    }
    // Memory that comes back at the same address with the same shape (pooled
    // frame buffers) reuses its image: pixman reads the bits at draw time.
    pixman_image_t* image =
        countedImage(width, height, reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(data)), stride);
    CachedImage entry{data, width, height, stride, image, useCounter_};
    if (cache.size() < capacity) {
        cache.push_back(entry);
    } else {
        auto oldest = std::min_element(cache.begin(), cache.end(),
                                       [](const CachedImage& a, const CachedImage& b) { return a.lastUse < b.lastUse; });
        pixman_image_unref(oldest->image);
        *oldest = entry;
    }
    return image;
}

pixman_image_t* CpuImageContext::scratchFor(int width, int height) {
    if (!scratch_ || scratchWidth_ != width || scratchHeight_ != height) {
        if (scratch_)
            pixman_image_unref(scratch_);
        scratchPixels_.assign(static_cast<std::size_t>(width) * height, 0);
        scratch_ = countedImage(width, height, scratchPixels_.data(), width * 4);
        scratchWidth_ = width;
        scratchHeight_ = height;
    }
    return scratch_;
}

} // namespace overlook
