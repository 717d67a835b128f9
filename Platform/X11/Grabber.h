#pragma once
// Reads rectangles of the screen into client memory: through MIT-SHM when the
// server offers it (one shared segment, reused), else with plain GetImage.

#include "Foundation/Geometry.h"

#include <cstdint>
#include <memory>
#include <xcb/xcb.h>

namespace overlook::x11 {

// A System V shared-memory segment attached to the server.
class ShmSegment {
public:
    // nullptr when the segment cannot be made or attached.
    static std::unique_ptr<ShmSegment> create(xcb_connection_t* c, std::size_t bytes);
    ~ShmSegment();
    ShmSegment(const ShmSegment&) = delete;
    ShmSegment& operator=(const ShmSegment&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::uint32_t id() const { return seg_; }
    // Gives every page of a new segment its memory, from the last page back, without
    // changing what the pages hold. Called while the server writes the segment from
    // the front, it puts a second core to the page faults that cost the server most
    // of a large grab, and the pages are then mapped for our reads too.
    void populateFromTheEnd();
    // Detaches the server and hands our mapping over to the caller, who gives it
    // back with shmdt (the segment goes with it).
    std::uint8_t* release();

private:
    ShmSegment() = default;
    xcb_connection_t* connection_ = nullptr;
    std::uint32_t seg_ = 0;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

class Grabber {
public:
    Grabber(xcb_connection_t* c, bool useShm);

    bool usesShm() const { return useShm_; }
    // Reads the w × h rectangle at (x, y) of `drawable` (32 bits per pixel, rows of
    // w * 4 bytes) and returns a pointer to the pixels, valid until the next grab;
    // nullptr on failure (a rectangle outside the drawable gives BadMatch).
    const std::uint8_t* grab(xcb_drawable_t drawable, int x, int y, int w, int h);

private:
    xcb_connection_t* connection_;
    bool useShm_;
    std::unique_ptr<ShmSegment> segment_;
    std::unique_ptr<std::uint8_t[]> fallback_;
    std::size_t fallbackSize_ = 0;
};

// True when the server offers MIT-SHM and a segment can be attached (a remote
// server cannot see our memory).
bool shmUsable(xcb_connection_t* c);

// Copies 32-bit pixels, setting alpha to opaque (X leaves the padding byte undefined).
void copyOpaque(const std::uint8_t* source, int sourceStride, std::uint8_t* dest, int destStride, int w, int h);

} // namespace overlook::x11
