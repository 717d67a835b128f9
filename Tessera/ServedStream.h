#pragma once
// What every capture back end with a thread of its own (X11, Wayland) keeps of a
// stream it serves, and the handle the streamer owns for it.
//
// The state's request and delivery are fixed at creation; `started`, `starts` and
// `removed` are set by the handle from the main thread and read by the back end's
// thread. A back end derives its own state from ServedStreamState for what only its
// thread touches.

#include "Tessera/CaptureService.h"
#include "Tessera/FrameDelivery.h"
#include "Tessera/FramePool.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace overlook {

struct ServedStreamState {
    ServedStreamState(DisplayID d, int w, int h, bool cursor, std::shared_ptr<DispatchQueue> queue,
                      FrameHandler handler)
        : display(d), width(w), height(h), showCursor(cursor), delivery(std::move(queue), std::move(handler)),
          frames(w, h) {}

    const DisplayID display;
    const int width, height;
    const bool showCursor;
    FrameDelivery delivery;
    std::atomic<bool> started{false};
    std::atomic<std::uint64_t> starts{0}; // a stop and a start between two turns is still a restart
    std::atomic<bool> removed{false};
    FramePool frames; // the back end's thread only
};

// Start and stop set the flags (a stop that ends a running stream posts its final
// Stopped update) and wake the back end's thread. Going away, the handle has the
// back end forget the stream, closes the delivery (so no handler call follows) and
// wakes the thread once more to give back the stream's resources.
class ServedStream final : public CaptureStream {
public:
    using Wake = std::function<void()>;
    using Forget = std::function<void(const ServedStreamState*)>;
    ServedStream(std::shared_ptr<ServedStreamState> state, Wake wake, Forget forget)
        : state_(std::move(state)), wake_(std::move(wake)), forget_(std::move(forget)) {}
    ~ServedStream() override;
    ServedStream(const ServedStream&) = delete;
    ServedStream& operator=(const ServedStream&) = delete;

    void start() override;
    void stop() override;

private:
    std::shared_ptr<ServedStreamState> state_;
    Wake wake_;
    Forget forget_;
};

} // namespace overlook
