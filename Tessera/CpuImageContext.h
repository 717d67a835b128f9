#pragma once
// The CPU image context: flattens a recipe into layers (a source surface with a
// transform into the destination, a clip, a clamp flag and a colour matrix) and
// hands each layer to pixman once. Integer translations go straight to pixman's
// unscaled paths; other transforms sample bilinearly.
//
// A context is meant to be reused frame after frame: the layer list, the pixman
// images of recent sources and of the destination, and the scratch buffer for
// colour controls are kept, so a warm context allocates nothing for a frame whose
// sources it has seen before. Not thread-safe: one context per thread.

#include "Tessera/ImageContext.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

typedef union pixman_image pixman_image_t;

namespace overlook {

// A colour-controls step as a linear map of premultiplied (R, G, B, A): each of
// R, G and B becomes a weighted sum of all four; alpha is kept.
struct ColorMatrix {
    std::array<std::array<double, 4>, 3> rows{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};

    static ColorMatrix from(const ColorControls& controls);
    // This matrix applied after `first`.
    ColorMatrix after(const ColorMatrix& first) const;
    bool isIdentity() const;
};

// Applies `matrix` to `count` premultiplied pixels in place, keeping each
// channel within [0, alpha].
void applyColorMatrix(const ColorMatrix& matrix, std::uint32_t* pixels, int count);

class CpuImageContext final : public ImageContext {
public:
    CpuImageContext();
    ~CpuImageContext() override;
    CpuImageContext(const CpuImageContext&) = delete;
    CpuImageContext& operator=(const CpuImageContext&) = delete;

    std::optional<RenderError> clear(const RenderDestination& destination) override;
    std::optional<RenderError> render(const Image& image, const Rect& fromRect,
                                      const RenderDestination& destination, Point atPoint) override;

    // How many layers the last render drew (for tests and diagnostics).
    std::size_t lastLayerCount() const { return lastLayerCount_; }
    // The pixman images that contexts of this process hold (for leak checks).
    static long liveImageCount();

    struct Layer;

private:
    struct CachedImage;
    struct IntRect {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        bool isEmpty() const { return x1 <= x0 || y1 <= y0; }
    };
    // A layer's pixman source and, on the unscaled path, the offset from
    // destination pixels to the source's own pixels.
    struct Sampling {
        pixman_image_t* image;
        int offsetX;
        int offsetY;
    };

    void flatten(const Image& image, const AffineTransform& toDest, const Rect& clip,
                 const ColorMatrix& matrix);
    void flattenClamp(const Image& input, const AffineTransform& toDest, const Rect& clip,
                      const ColorMatrix& matrix);
    void drawLayer(const Layer& layer, pixman_image_t* destination, const IntRect& bounds);
    void drawClampedBorders(const Layer& layer, const Sampling& source, pixman_image_t* destination,
                            const IntRect& region, const IntRect& centre);
    void drawRegion(const Layer& layer, const Sampling& source, pixman_image_t* destination,
                    const IntRect& region);
    pixman_image_t* imageFor(const std::uint8_t* data, int width, int height, int stride,
                             std::vector<CachedImage>& cache, std::size_t capacity);
    pixman_image_t* scratchFor(int width, int height);

    std::vector<Layer> layers_;
    std::vector<CachedImage> sources_;
    std::vector<CachedImage> destinations_;
    std::vector<std::uint32_t> scratchPixels_;
    pixman_image_t* scratch_ = nullptr;
    int scratchWidth_ = 0;
    int scratchHeight_ = 0;
    std::uint64_t useCounter_ = 0;
    // Bitmaps made for clamps of composite recipes live until the next render.
    std::vector<FrameSurfacePtr> intermediates_;
    std::size_t lastLayerCount_ = 0;
};

} // namespace overlook
