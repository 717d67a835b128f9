#include "FrameDelivery.h"

namespace overlook {

FrameDelivery::FrameDelivery(std::shared_ptr<DispatchQueue> queue, FrameHandler handler)
    : queue_(std::move(queue)), core_(std::make_shared<Core>()) {
    core_->handler = std::move(handler);
}

FrameDelivery::~FrameDelivery() { close(); }

void FrameDelivery::close() {
    FrameHandler dropped;
    {
        std::lock_guard lock(core_->mutex);
        core_->open = false;
        dropped = std::move(core_->handler);
        core_->pendingFrame.reset();
    }
    // `dropped` may hold the last reference to a streamer: released here, unlocked.
}

void FrameDelivery::post(FrameStatus status, FrameSurfacePtr frame) {
    std::shared_ptr<Core> core = core_;
    if (status == FrameStatus::FrameComplete && frame) {
        std::lock_guard lock(core->mutex);
        if (!core->open)
            return;
        core->pendingFrame = std::move(frame);
        if (core->frameTaskQueued)
            return; // the queued task delivers the newer frame
        core->frameTaskQueued = true;
        queue_->async([core] {
            std::unique_lock lock(core->mutex);
            core->frameTaskQueued = false;
            if (!core->open)
                return;
            FrameSurfacePtr latest = std::move(core->pendingFrame);
            FrameHandler handler = core->handler;
            lock.unlock();
            handler(FrameStatus::FrameComplete, std::move(latest));
        });
        return;
    }
    queue_->async([core, status] {
        std::unique_lock lock(core->mutex);
        if (!core->open)
            return;
        FrameHandler handler = core->handler;
        lock.unlock();
        handler(status, nullptr);
    });
}

} // namespace overlook
