#include "Grabber.h"

#include "Platform/X11/Xcb.h"

#include <cstring>
#include <utility>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <xcb/shm.h>

namespace overlook::x11 {

std::unique_ptr<ShmSegment> ShmSegment::create(xcb_connection_t* c, std::size_t bytes) {
    const int shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmId < 0)
        return nullptr;
    void* address = shmat(shmId, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(shmId, IPC_RMID, nullptr);
        return nullptr;
    }
    std::unique_ptr<ShmSegment> segment(new ShmSegment);
    segment->connection_ = c;
    segment->data_ = static_cast<std::uint8_t*>(address);
    segment->size_ = bytes;
    segment->seg_ = xcb_generate_id(c);
    XcbError error(xcb_request_check(c, xcb_shm_attach_checked(c, segment->seg_, shmId, false)));
    // Marked for removal now: it disappears once both sides have detached.
    shmctl(shmId, IPC_RMID, nullptr);
    if (error) {
        shmdt(address);
        segment->data_ = nullptr;
        return nullptr;
    }
    return segment;
}

void ShmSegment::populateFromTheEnd() {
#ifdef MADV_POPULATE_WRITE // Linux 5.14; elsewhere the server faults every page in itself
    constexpr std::size_t kStep = std::size_t(1) << 20, kPage = 4096;
    for (std::size_t end = size_; end > 0;) {
        const std::size_t start = end > kStep ? (end - kStep) & ~(kPage - 1) : 0;
        if (madvise(data_ + start, end - start, MADV_POPULATE_WRITE) != 0)
            return;
        end = start;
    }
#endif
}

std::uint8_t* ShmSegment::release() {
    xcb_shm_detach(connection_, seg_);
    xcb_flush(connection_);
    return std::exchange(data_, nullptr);
}

ShmSegment::~ShmSegment() {
    if (!data_)
        return;
    xcb_shm_detach(connection_, seg_);
    xcb_flush(connection_);
    shmdt(data_);
}

bool shmUsable(xcb_connection_t* c) {
    // A request of an extension the server lacks ends the connection: asked first.
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_shm_id);
    if (!extension || !extension->present)
        return false;
    auto version = reply<xcb_shm_query_version_reply_t>(c, xcb_shm_query_version_reply, xcb_shm_query_version(c));
    if (!version)
        return false;
    return ShmSegment::create(c, 4096) != nullptr;
}

Grabber::Grabber(xcb_connection_t* c, bool useShm) : connection_(c), useShm_(useShm) {}

const std::uint8_t* Grabber::grab(xcb_drawable_t drawable, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0)
        return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(w) * h * 4;
    if (useShm_) {
        if (!segment_ || segment_->size() < bytes) {
            segment_.reset();
            segment_ = ShmSegment::create(connection_, bytes);
            if (!segment_)
                return nullptr;
        }
        XcbError error;
        auto r = reply<xcb_shm_get_image_reply_t>(
            connection_, xcb_shm_get_image_reply,
            xcb_shm_get_image(connection_, drawable, x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                              segment_->id(), 0),
            &error);
        return r ? segment_->data() : nullptr;
    }
    auto r = reply<xcb_get_image_reply_t>(
        connection_, xcb_get_image_reply,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, w, h, ~0u));
    if (!r || static_cast<std::size_t>(xcb_get_image_data_length(r.get())) < bytes)
        return nullptr;
    if (fallbackSize_ < bytes) {
        fallback_.reset(new std::uint8_t[bytes]);
        fallbackSize_ = bytes;
    }
    std::memcpy(fallback_.get(), xcb_get_image_data(r.get()), bytes);
    return fallback_.get();
}

void copyOpaque(const std::uint8_t* source, int sourceStride, std::uint8_t* dest, int destStride, int w, int h) {
    for (int y = 0; y < h; ++y) {
        const auto* in = reinterpret_cast<const std::uint32_t*>(source + static_cast<std::ptrdiff_t>(y) * sourceStride);
        auto* out = reinterpret_cast<std::uint32_t*>(dest + static_cast<std::ptrdiff_t>(y) * destStride);
        for (int x = 0; x < w; ++x)
            out[x] = in[x] | 0xFF000000u;
    }
}

} // namespace overlook::x11
