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
        std::unique_lock lock(core_->mutex);
        core_->open = false;
        core_->openSlot.reset();
        // A call on the queue's own thread is the one closing: waiting would never end.
        if (!queue_->isCurrent())
            core_->idle.wait(lock, [&] { return core_->handlerCalls == 0; });
        dropped = std::move(core_->handler);
    }
    // `dropped` may hold the last reference to a streamer: released here, unlocked.
}

// Called with `lock` held; returns with it held.
void FrameDelivery::deliver(const std::shared_ptr<Core>& core, FrameStatus status, FrameSurfacePtr frame,
                            std::unique_lock<std::mutex>& lock) {
    if (!core->open)
        return;
    FrameHandler handler = core->handler;
    ++core->handlerCalls;
    lock.unlock();
    struct Done {
        const std::shared_ptr<Core>& core;
        std::unique_lock<std::mutex>& lock;
        ~Done() {
            lock.lock();
            if (--core->handlerCalls == 0)
                core->idle.notify_all();
        }
    } done{core, lock};
    handler(status, std::move(frame));
    // Our copy of the handler goes before the count drops, so close() never waits
    // for it and never releases the last reference while we still hold one.
    handler = nullptr;
}

void FrameDelivery::post(FrameStatus status, FrameSurfacePtr frame) {
    std::shared_ptr<Core> core = core_;
    std::lock_guard lock(core->mutex);
    if (!core->open)
        return;
    if (status == FrameStatus::FrameComplete && frame) {
        if (core->openSlot) {
            core->openSlot->frame = std::move(frame); // the queued task delivers the newer frame
            return;
        }
        auto slot = std::make_shared<FrameSlot>();
        slot->frame = std::move(frame);
        core->openSlot = slot;
        queue_->async([core, slot] {
            std::unique_lock lock(core->mutex);
            if (core->openSlot == slot)
                core->openSlot.reset();
            deliver(core, FrameStatus::FrameComplete, std::move(slot->frame), lock);
        });
        return;
    }
    // Frames posted from now on belong behind this update.
    core->openSlot.reset();
    queue_->async([core, status] {
        std::unique_lock lock(core->mutex);
        deliver(core, status, nullptr, lock);
    });
}

} // namespace overlook
