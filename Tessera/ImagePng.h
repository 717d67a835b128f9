#pragma once
// PNG files of rendered pixels (premultiplied ARGB32, first row at the top), for
// screenshots and previews alike. Built for speed on screen content: SUB-filtered
// rows through our own fast deflate coder (Deflate.h). Opaque pictures are written as RGB (a quarter less
// to compress), others as RGBA with straight alpha. Any thread.

#include "Tessera/ImageContext.h"
#include "Tessera/PageBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace overlook {

struct PngData {
    PageBuffer buffer;
    std::size_t size = 0; // 0: nothing could be encoded
    const std::uint8_t* data() const { return buffer.data(); }
};

// What the alpha bytes of the pixels are worth: looked at (a picture with
// transparent pixels is written with alpha), or ignored because every pixel is
// opaque whatever they say (an X server leaves the fourth byte undefined).
enum class Alpha { Check, Ignore };

// The PNG file of `pixels` (premultiplied ARGB32 words, first row at the top).
// Empty when the pixels are not valid.
PngData encodePng(const RenderDestination& pixels, Alpha alpha = Alpha::Check);

// Writes the bytes to a new file at `path`; never replaces an existing file.
// Returns what went wrong, if anything (a partly written file is removed);
// `errorCode` gets the errno value of the failure.
std::optional<std::string> writeNewFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                                        int* errorCode = nullptr);

// Writes the pixels as a PNG file at `path`, replacing any file there; returns what
// went wrong, if anything.
std::optional<std::string> writePng(const RenderDestination& pixels, const std::string& path);

} // namespace overlook
