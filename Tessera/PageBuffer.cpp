#include "PageBuffer.h"

#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace overlook {

namespace {
constexpr std::size_t kHugePage = 2u << 20;
} // namespace

PageBuffer::PageBuffer(std::size_t bytes) {
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    data_ = static_cast<std::uint8_t*>(std::aligned_alloc(kHugePage, rounded));
    if (!data_)
        throw std::bad_alloc();
    size_ = rounded;
    madvise(data_, rounded, MADV_HUGEPAGE); // only a hint; small pages work too
}

PageBuffer::~PageBuffer() { free(); }

void PageBuffer::free() {
    if (release_ && data_)
        release_(data_, size_);
    else
        std::free(data_);
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      release_(std::exchange(other.release_, nullptr)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        free();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        release_ = std::exchange(other.release_, nullptr);
    }
    return *this;
}

} // namespace overlook
