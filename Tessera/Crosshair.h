#pragma once
// The crosshair bitmap: a 50 × 50 premultiplied ARGB bitmap shared by every
// renderer in the process. Clamped to its extent, its two strokes (which touch all
// four borders) become full-length lines, so a frame's crosshair costs one small
// bitmap however large the picture is.

#include "Tessera/Color.h"
#include "Tessera/Image.h"

#include <mutex>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace overlook {

// Draws the crosshair into `cr` over a bitmap of `width` × `height`: clears it,
// strokes a horizontal and a vertical line through the centre outside the ring's
// ellipse, then the ring. The ring's rectangle is inset by the line width
// truncated to an integer, while the strokes use the exact width.
void drawCrosshair(cairo_t* cr, int width, int height, const Color& color, double lineWidth);

class CrosshairBitmap {
public:
    static constexpr int kWidth = 50;
    static constexpr int kHeight = 50;

    // The process-wide bitmap, created on first use (safe against concurrent
    // first use).
    static CrosshairBitmap& shared();

    // Redraws the bitmap and returns a snapshot of it (an owned copy). The empty
    // image when the bitmap could not be made.
    Image draw(const Color& color, double lineWidth);

    ~CrosshairBitmap();
    CrosshairBitmap(const CrosshairBitmap&) = delete;
    CrosshairBitmap& operator=(const CrosshairBitmap&) = delete;

private:
    CrosshairBitmap();

    std::mutex mutex_;
    cairo_surface_t* surface_ = nullptr;
    // The drawing depends on nothing but these two, so an unchanged request hands
    // back the previous snapshot (and keeps the context's cached source warm).
    bool hasSnapshot_ = false;
    Color lastColor_;
    double lastLineWidth_ = 0;
    Image snapshot_;
};

} // namespace overlook
