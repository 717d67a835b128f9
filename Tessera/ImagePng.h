#pragma once
// PNG files of rendered pixels (premultiplied ARGB32, first row at the top), for
// screenshots and previews alike. Built for speed on screen content: SUB-filtered
// rows through our own fast deflate coder (Deflate.h). Opaque pictures are written as RGB (a quarter less
// to compress), others as RGBA with straight alpha. Any thread.

#include "Tessera/ImageContext.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace overlook {

// Memory for large one-shot buffers. Fresh pages cost about as much to fault in as
// the work done on them, so the block asks for transparent huge pages.
class PageBuffer {
public:
    PageBuffer() = default;
    explicit PageBuffer(std::size_t bytes);
    ~PageBuffer();
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

struct PngData {
    PageBuffer buffer;
    std::size_t size = 0; // 0: nothing could be encoded
    const std::uint8_t* data() const { return buffer.data(); }
};

// The PNG file of `pixels` (premultiplied ARGB32 words, first row at the top).
// Empty when the pixels are not valid.
PngData encodePng(const RenderDestination& pixels);

// Writes the bytes to a new file at `path`; never replaces an existing file.
// Returns what went wrong, if anything (a partly written file is removed);
// `errorCode` gets the errno value of the failure.
std::optional<std::string> writeNewFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                                        int* errorCode = nullptr);

// Writes the pixels as a PNG file at `path`, replacing any file there; returns what
// went wrong, if anything.
std::optional<std::string> writePng(const RenderDestination& pixels, const std::string& path);

} // namespace overlook
