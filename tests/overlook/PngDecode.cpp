#include "PngDecode.h"

#include <png.h>

#include <cstring>

namespace overlook::test {

std::optional<DecodedPng> decodePng(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return std::nullopt;
    DecodedPng out;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.hasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    // BGRA bytes are 0xAARRGGBB words on this little-endian machine.
    image.format = PNG_FORMAT_BGRA;
    out.pixels.resize(std::size_t(out.width) * out.height);
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return out;
}

std::uint32_t straightAlpha(std::uint32_t p) {
    const std::uint32_t a = p >> 24;
    if (a == 0)
        return 0;
    auto c = [a](std::uint32_t v) { return (v * 255 + a / 2) / a; };
    return (a << 24) | (c((p >> 16) & 0xFF) << 16) | (c((p >> 8) & 0xFF) << 8) | c(p & 0xFF);
}

} // namespace overlook::test
