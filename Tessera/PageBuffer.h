#pragma once

#include <cstddef>
#include <cstdint>

namespace overlook {

// Memory for large one-shot buffers. Fresh pages cost about as much to fault in as
// the work done on them, so the block asks for transparent huge pages.
class PageBuffer {
public:
    PageBuffer() = default;
    explicit PageBuffer(std::size_t bytes);
    // Memory obtained elsewhere (a platform's shared memory), given back with `release`.
    using Release = void (*)(std::uint8_t* data, std::size_t size);
    PageBuffer(std::uint8_t* data, std::size_t size, Release release) : data_(data), size_(size), release_(release) {}
    ~PageBuffer();
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void free();

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    Release release_ = nullptr; // none: our own aligned allocation
};

} // namespace overlook
