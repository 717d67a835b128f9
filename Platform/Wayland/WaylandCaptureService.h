#pragma once
// Display streams of a wlroots compositor through screen copy: one copy in flight
// per stream, each waiting until the output changed (copy_with_damage), at most
// at the output's refresh rate, with the cursor drawn in by the compositor. Copies
// land in a stream's own shared-memory buffers and are reduced to the stream's
// size on the session thread. A still output gets an idle update once a second.

#include "Platform/Wayland/Session.h"
#include "Tessera/CaptureService.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace overlook::wayland {

struct CaptureStats {
    std::uint64_t copies = 0;            // screen copies taken
    std::uint64_t frames = 0;            // of those, copies delivered as new frames
    std::uint64_t reduceNanoseconds = 0; // time spent reducing copies
};

class WaylandCaptureService final : public CaptureService, private Session::Client {
public:
    explicit WaylandCaptureService(std::shared_ptr<Session> session);
    ~WaylandCaptureService() override;

    std::optional<std::string> failure() const override;
    std::unique_ptr<CaptureStream> createStream(DisplayID display, std::int64_t width, std::int64_t height,
                                                std::uint32_t pixelFormat, const StreamProperties& properties,
                                                std::shared_ptr<DispatchQueue> queue, FrameHandler handler) override;
    CaptureStats stats() const;

    struct StreamState;

private:
    void turn(Clock::time_point now) override;
    std::optional<Clock::time_point> deadline() const override;
    void layoutChanged(const std::vector<DisplayID>& changed) override;
    void connectionLost() override;
    void serve(StreamState& s, Clock::time_point now);
    void request(StreamState& s);
    void release(StreamState& s);

    std::shared_ptr<Session> session_;
    std::atomic<bool> lost_{false};
    mutable std::mutex mutex_; // guards streams_ and stats_
    std::vector<std::shared_ptr<StreamState>> streams_;
    std::vector<std::shared_ptr<StreamState>> known_; // session thread
    CaptureStats stats_;
};

} // namespace overlook::wayland
