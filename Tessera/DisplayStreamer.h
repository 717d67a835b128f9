#pragma once
// The live capture of one display: creates the platform stream at the display's
// size divided by `scale`, starts and stops it, keeps the latest frame as an image
// and publishes its status, streaming and visibility flags.
//
// Threads: every operation and every published property belongs to the main
// thread. The frame handler runs on `streamQueue()`; it hands the latest image over
// with an atomic exchange and posts status changes (and the automatic pause) to the
// main queue, so observers only ever run on the main thread.

#include "Foundation/DispatchQueue.h"
#include "Foundation/LatestValue.h"
#include "Foundation/Logger.h"
#include "Foundation/Signal.h"
#include "Tessera/CaptureService.h"
#include "Tessera/Display.h"
#include "Tessera/FrameStatus.h"
#include "Tessera/Image.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace overlook {

class DisplayStreamer final : public ObservableObject,
                              public std::enable_shared_from_this<DisplayStreamer> {
public:
    DisplayStreamer(Display display, bool isVisible, double scale);
    ~DisplayStreamer();
    DisplayStreamer(const DisplayStreamer&) = delete;
    DisplayStreamer& operator=(const DisplayStreamer&) = delete;

    Published<FrameStatus> currentStatus{*this, FrameStatus::Stopped};
    Published<bool> isStreaming{*this, false};
    Published<bool> isVisible;
    // A snapshot that was not waited for replaced the image (main thread).
    Signal<> snapshotArrived;

    const Display& display() const { return display_; }
    double scale() const { return scale_; }
    // Writes the scale alone; the caller releases and restarts the stream.
    void assignScale(double scale) { scale_ = scale; }
    DisplayID id() const { return display_.id; }
    std::string description() const { return display_.localizedName + " Stream"; }

    double outputWidth() const { return display_.bounds.width / scale_; }
    double outputHeight() const { return display_.bounds.height / scale_; }
    Rect outputFrame() const;

    const std::shared_ptr<DispatchQueue>& streamQueue() const { return streamQueue_; }
    bool hasStream() const { return stream_ != nullptr; }
    bool pauseOnNextFrame() const { return pauseOnNextFrame_.load(); }
    // The latest frame or snapshot; safe to call from any thread.
    std::shared_ptr<const Image> screenImage() const { return screenImage_.load(); }

    void createStream();
    void start(bool pauseOnNextFrame);
    void stop();
    void toggle();
    void setStreaming(bool on);
    void releaseStream();
    void setScale(double newScale);
    // Device pixels per output point of the views that show this stream (2 on a
    // doubled screen). Frames are captured that much larger, but never beyond the
    // display's own pixels, and placed at the output size: a view on a scaled
    // screen shows them pixel for pixel instead of blowing them up. A change
    // restarts the stream like a new scale.
    double pixelRatio() const { return pixelRatio_; }
    void setPixelRatio(double ratio);
    // The factor the stream's frames are larger than the output frame.
    double captureRatio() const;
    // A picture of the display before its stream's first frame. Where snapshots may
    // wait (a desktop portal: a consent to restore, a still display's next picture),
    // the image is blank at first and the snapshot, taken on a thread of its own,
    // replaces it when it comes, unless a frame or a newer snapshot came first.
    void captureScreenshot();
    // The latest image mirrored top to bottom within its own extent.
    std::optional<Image> flippedScreenImage() const;

    // Runs on streamQueue(): one update of the platform stream.
    void handleFrame(FrameStatus status, FrameSurfacePtr surface);

    // The union of the streamers' output frames (maxima start at 0).
    static Rect outputMetrics(const std::vector<std::shared_ptr<DisplayStreamer>>& streamers);

private:
    Logger log_;
    const Display display_;
    double scale_;
    double pixelRatio_ = 1;
    // captureRatio() of the current stream, read by handleFrame on the stream queue.
    std::atomic<double> streamRatio_{1};
    std::shared_ptr<DispatchQueue> streamQueue_;
    std::unique_ptr<CaptureStream> stream_;
    LatestValue<const Image> screenImage_;
    std::atomic<bool> pauseOnNextFrame_{false};
    // Each start is numbered. Frames are taken only for the start in `acceptingFor_`
    // (0: none), between a start and the next stop or automatic pause, so a frame
    // already queued when the stream stopped does not replace the image; and an
    // automatic pause only stops the start it saw, never a later one.
    std::atomic<std::uint64_t> startCount_{0};
    std::atomic<std::uint64_t> acceptingFor_{0};
    // A late snapshot is placed only if neither a frame nor a newer snapshot came
    // since it was asked for: frames are counted with the image they store.
    std::mutex imageMutex_;
    std::uint64_t framesTaken_ = 0;
    std::uint64_t snapshotsAsked_ = 0; // main thread

    // The snapshot of the display's pixels as an image of the output size.
    std::shared_ptr<const Image> outputImage(FrameSurfacePtr snapshot, double scale) const;
};

using DisplayStreamerPtr = std::shared_ptr<DisplayStreamer>;

bool operator==(const DisplayStreamer& a, const DisplayStreamer& b);
// Ordered by unit number.
inline bool operator<(const DisplayStreamer& a, const DisplayStreamer& b) {
    return a.display().unitNumber < b.display().unitNumber;
}
std::size_t hashValue(const DisplayStreamer& streamer);

// Element-wise streamer equality of two lists (same storage: equal at once).
bool sameStreams(const std::vector<DisplayStreamerPtr>& a, const std::vector<DisplayStreamerPtr>& b);

} // namespace overlook
