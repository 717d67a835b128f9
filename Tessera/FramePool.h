#pragma once
// The frames of one capture stream before they are delivered: surfaces reused
// once nobody holds them, and the picture last delivered, so that a back end can
// tell a frame that shows something new from one that merely repeats it. Used by
// one thread at a time (the back end's own).

#include "Tessera/FrameSurface.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace overlook {

class FramePool {
public:
    FramePool(int width, int height, std::size_t capacity = 4);

    // A surface of the stream's size that nobody else holds, its pixels as they
    // were left; a new one when all are held (kept if there is room in the pool).
    std::shared_ptr<FrameSurface> take();

    // Whether `surface` (from take) shows something other than the frame last
    // delivered; when it does, it becomes the last delivered frame.
    bool isNewPicture(const std::shared_ptr<FrameSurface>& surface);

    // The next frame counts as new whatever it shows (a stream that starts again
    // owes its viewer a frame).
    void forgetLastPicture() { last_.reset(); }

    // Gives every surface back (a stream that stops).
    void clear();

    int width() const { return width_; }
    int height() const { return height_; }

private:
    int width_, height_;
    std::size_t capacity_;
    std::vector<std::shared_ptr<FrameSurface>> surfaces_;
    std::shared_ptr<FrameSurface> last_;
};

// Whether two surfaces of the same size hold the same pixels.
bool samePixels(const FrameSurface& a, const FrameSurface& b);

} // namespace overlook
