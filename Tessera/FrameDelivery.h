#pragma once
// Hands a capture back end's updates to a stream's frame handler on the stream's
// queue, with the delivery rules every back end shares:
//  - queue depth 1: a frame that has not been delivered yet is replaced by a newer
//    one, so a slow consumer never makes frames pile up;
//  - updates without a frame are delivered in order, one each;
//  - after close() nothing more reaches the handler, even work already queued, and
//    the handler (which may own the last reference to its streamer) is released.
// post() may be called from any thread.

#include "Foundation/DispatchQueue.h"
#include "Tessera/CaptureService.h"

#include <memory>
#include <mutex>

namespace overlook {

class FrameDelivery {
public:
    FrameDelivery(std::shared_ptr<DispatchQueue> queue, FrameHandler handler);
    ~FrameDelivery();
    FrameDelivery(const FrameDelivery&) = delete;
    FrameDelivery& operator=(const FrameDelivery&) = delete;

    void post(FrameStatus status, FrameSurfacePtr frame);
    void close();

private:
    struct Core {
        std::mutex mutex;
        bool open = true;
        FrameHandler handler;
        FrameSurfacePtr pendingFrame;
        bool frameTaskQueued = false;
    };
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<Core> core_;
};

} // namespace overlook
