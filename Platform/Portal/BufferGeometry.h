#pragma once
// Where the rows of a picture are in a buffer another process filled. PipeWire
// passes a chunk's offset and stride as the producer wrote them: nothing promises
// that width × height pixels fit in the mapped memory, and a negative stride means
// the rows run upwards from the offset.

#include "Platform/Wayland/Copy.h"

#include <cstdint>
#include <cstdlib>
#include <optional>

struct spa_buffer;
struct spa_data;

namespace overlook::portal {

// The block of `buffer` that holds a new picture; nullptr for a cursor-only update
// (no bytes), an unmapped block, or one the producer marked corrupted.
const spa_data* pictureData(const spa_buffer& buffer);

// How a PipeWire video format (spa_video_format) holds a pixel; nullopt for one we
// cannot read. Every one read has 4 bytes a pixel.
std::optional<wayland::PixelLayout> videoPixelLayout(std::uint32_t spaFormat);

struct BufferRows {
    std::size_t first = 0; // byte offset of the lowest row in memory
    int stride = 0;        // bytes from one row to the next in memory, > 0
    bool bottomUp = false; // memory holds the picture's last row first
};

// nullopt when the picture does not fit in `mapped` bytes, rows overlap, or rows
// and pixels do not start on whole pixels (the reduction reads pixels as words, and
// pixman takes no other stride). A stride of 0 means rows packed tightly.
inline std::optional<BufferRows> readableRows(std::uint32_t offset, std::int32_t stride, std::uint32_t mapped,
                                              int width, int height, int bytesPerPixel) {
    if (width <= 0 || height <= 0 || bytesPerPixel <= 0)
        return std::nullopt;
    const std::uint64_t rowBytes = std::uint64_t(width) * std::uint64_t(bytesPerPixel);
    const std::uint64_t step = stride == 0 ? rowBytes : std::uint64_t(std::llabs(std::int64_t(stride)));
    if (step < rowBytes || step > std::uint64_t(INT32_MAX) || step % std::uint64_t(bytesPerPixel) != 0 ||
        offset % std::uint32_t(bytesPerPixel) != 0)
        return std::nullopt;
    const std::uint64_t span = step * std::uint64_t(height - 1); // from the first row's start to the last's
    std::uint64_t lowest = offset;
    if (stride < 0) {
        if (span > offset)
            return std::nullopt;
        lowest = offset - span;
    }
    if (lowest + span + rowBytes > mapped)
        return std::nullopt;
    return BufferRows{std::size_t(lowest), int(step), stride < 0};
}

} // namespace overlook::portal
