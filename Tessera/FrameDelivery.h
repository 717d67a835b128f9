#pragma once
// Hands a capture back end's updates to a stream's frame handler on the stream's
// queue, with the delivery rules every back end shares:
//  - queue depth 1: a frame that has not been delivered yet is replaced by a newer
//    one, so a slow consumer never makes frames pile up;
//  - updates reach the handler in the order they were posted: a frame posted after
//    an update without a frame (idle, blank, stopped) is delivered after it, never
//    in the slot of an earlier frame;
//  - after close() nothing more reaches the handler, even work already queued; a
//    handler call already running on another thread is waited for, so the handler
//    (which may own the last reference to its streamer) is released idle.
// post() may be called from any thread; close() from any thread, including the
// stream's queue (then the running call is the caller itself and is not waited for).

#include "Foundation/DispatchQueue.h"
#include "Tessera/CaptureService.h"

#include <condition_variable>
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
    // The frame of one queued task; newer frames replace it until the task runs or
    // an update without a frame is posted behind it.
    struct FrameSlot {
        FrameSurfacePtr frame;
    };
    struct Core {
        std::mutex mutex;
        std::condition_variable idle;
        bool open = true;
        int handlerCalls = 0; // running right now
        FrameHandler handler;
        std::shared_ptr<FrameSlot> openSlot;
    };
    static void deliver(const std::shared_ptr<Core>& core, FrameStatus status, FrameSurfacePtr frame,
                        std::unique_lock<std::mutex>& lock);

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<Core> core_;
};

} // namespace overlook
