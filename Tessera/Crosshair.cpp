#include "Crosshair.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

namespace overlook {

namespace {
void addEllipse(cairo_t* cr, double x, double y, double w, double h) {
    if (w < 0) {
        x += w;
        w = -w;
    }
    if (h < 0) {
        y += h;
        h = -h;
    }
    // A degenerate ellipse would leave cairo with a singular matrix.
    if (w == 0 || h == 0)
        return;
    cairo_save(cr);
    cairo_translate(cr, x + w / 2, y + h / 2);
    cairo_scale(cr, w / 2, h / 2);
    cairo_new_sub_path(cr);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_close_path(cr);
    cairo_restore(cr);
}

// Any width is drawable: NaN and negative widths draw no lines, and nothing
// wider than the bitmap changes the picture (the inset below must fit an int).
double drawableLineWidth(double lineWidth, int width, int height) {
    if (!(lineWidth > 0))
        return 0;
    return std::min(lineWidth, static_cast<double>(std::max(width, height)));
}
} // namespace

void drawCrosshair(cairo_t* cr, int width, int height, const Color& color, double lineWidth) {
    lineWidth = drawableLineWidth(lineWidth, width, height);
    const double w = width, h = height;
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_restore(cr);

    // cairo has one source for strokes and fills alike.
    cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
    cairo_set_line_width(cr, lineWidth);

    const int inset = static_cast<int>(std::trunc(lineWidth));
    const double ex = inset, ey = inset, ew = w - 2.0 * inset, eh = h - 2.0 * inset;

    // Only the area outside the ring's ellipse takes the lines.
    cairo_save(cr);
    cairo_new_path(cr);
    addEllipse(cr, ex, ey, ew, eh);
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_clip(cr);
    cairo_move_to(cr, 0, h / 2);
    cairo_line_to(cr, w, h / 2);
    cairo_move_to(cr, w / 2, 0);
    cairo_line_to(cr, w / 2, h);
    cairo_stroke(cr);
    cairo_restore(cr);

    cairo_new_path(cr);
    addEllipse(cr, ex, ey, ew, eh);
    cairo_stroke(cr);
}

CrosshairBitmap& CrosshairBitmap::shared() {
    static CrosshairBitmap bitmap;
    return bitmap;
}

CrosshairBitmap::CrosshairBitmap() {
    surface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kWidth, kHeight);
    if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface_);
        surface_ = nullptr;
    }
}

CrosshairBitmap::~CrosshairBitmap() {
    if (surface_)
        cairo_surface_destroy(surface_);
}

Image CrosshairBitmap::draw(const Color& color, double lineWidth) {
    std::lock_guard lock(mutex_);
    if (!surface_)
        return {};
    lineWidth = drawableLineWidth(lineWidth, kWidth, kHeight);
    if (hasSnapshot_ && color == lastColor_ && lineWidth == lastLineWidth_)
        return snapshot_;
    cairo_t* cr = cairo_create(surface_);
    drawCrosshair(cr, kWidth, kHeight, color, lineWidth);
    cairo_destroy(cr);
    cairo_surface_flush(surface_);
    snapshot_ = Image::fromBitmap(kWidth, kHeight, cairo_image_surface_get_stride(surface_),
                                  cairo_image_surface_get_data(surface_));
    hasSnapshot_ = true;
    lastColor_ = color;
    lastLineWidth_ = lineWidth;
    return snapshot_;
}

} // namespace overlook
