#pragma once
// Display streams of an X server. One worker thread with its own connection serves
// every stream: XDamage says which displays changed, a changed display is grabbed
// at most at its refresh rate, reduced to the stream's size (on the server with
// XRender, or by an area filter on the client), the cursor is drawn in, and the
// frame goes to the stream's queue. Nothing changes, nothing is grabbed.

#include "Tessera/CaptureService.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace overlook::x11 {

// How frames are reduced to the stream size. Measured on a 1920 × 1080 display at
// scale 4 (bench/capture-vs-ffmpeg): XRender costs about 0.9 ms per frame on the
// capture thread, the area filter about 3 ms (the full grab alone moves 8 MB; the
// filter itself takes 0.9 ms, bench_reduction), so XRender is the default even
// though bilinear sampling can drop lines thinner than the scale factor.
enum class Reduction {
    Automatic, // XRender where the server has it, else the area filter
    Render,    // XRender: bilinear scaling on the server, then one small grab
    AreaFilter // a full grab, reduced on the client (integer factors)
};

struct CaptureStats {
    std::uint64_t frames = 0;
    std::uint64_t partialFrames = 0;   // of those, frames that grabbed only what changed
    std::uint64_t grabNanoseconds = 0; // time spent grabbing and reducing
    std::uint64_t wakeups = 0;         // turns of the capture loop
};

class X11CaptureService final : public CaptureService {
public:
    explicit X11CaptureService(const char* displayName = nullptr, Reduction reduction = Reduction::Automatic);
    ~X11CaptureService() override;

    // False when the X server could not be reached; error() says why.
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    bool usesShm() const { return usesShm_; }
    CaptureStats stats() const;
    std::optional<std::string> failure() const override;
    void setOwnWindowAreas(std::vector<Rect> areas) override;

    std::unique_ptr<CaptureStream> createStream(DisplayID display, std::int64_t width, std::int64_t height,
                                                std::uint32_t pixelFormat, const StreamProperties& properties,
                                                std::shared_ptr<DispatchQueue> queue, FrameHandler handler) override;

    struct StreamState;
    class Worker;

private:
    void wake();

    std::string displayName_;
    Reduction reduction_;
    bool ok_ = false;
    bool usesShm_ = false;
    std::string error_;
    std::atomic<bool> connectionLost_{false};
    int wakeFd_ = -1;
    std::mutex mutex_; // guards streams_ and ownAreas_
    std::vector<std::shared_ptr<StreamState>> streams_;
    std::vector<Rect> ownAreas_;
    std::uint64_t ownAreasVersion_ = 0;
    std::unique_ptr<Worker> worker_;
    std::thread thread_;
};

} // namespace overlook::x11
