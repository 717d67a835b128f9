#include "ImagePng.h"

#include <cairo.h>

#include <cstring>
#include <vector>

namespace overlook {

std::optional<std::string> writePng(const RenderDestination& pixels, const std::string& path) {
    if (!pixels.isValid())
        return "there are no pixels to write";
    // cairo's ARGB32 is our pixel format; only its row alignment may differ.
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, pixels.width);
    std::vector<std::uint8_t> copy;
    std::uint8_t* data = pixels.pixels;
    if (stride != pixels.stride) {
        copy.resize(static_cast<std::size_t>(stride) * pixels.height);
        for (int y = 0; y < pixels.height; ++y)
            std::memcpy(copy.data() + static_cast<std::size_t>(y) * stride,
                        pixels.pixels + static_cast<std::ptrdiff_t>(y) * pixels.stride,
                        static_cast<std::size_t>(pixels.width) * 4);
        data = copy.data();
    }
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, pixels.width, pixels.height, stride);
    cairo_status_t status = cairo_surface_status(surface);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_write_to_png(surface, path.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        return std::string("cannot write ") + path + ": " + cairo_status_to_string(status);
    return std::nullopt;
}

} // namespace overlook
