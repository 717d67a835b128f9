#include "DisplayStreamer.h"

#include "Foundation/MainQueue.h"

#include <algorithm>
#include <cmath>

namespace overlook {

DisplayStreamer::DisplayStreamer(Display display, bool visible, double scale)
    : isVisible(*this, visible), log_("Tessera", "DisplayStreamer"), display_(std::move(display)),
      scale_(scale),
      streamQueue_(std::make_shared<DispatchQueue>("StreamQueue " + std::to_string(display_.id))) {}

DisplayStreamer::~DisplayStreamer() {
    // The stream goes first so that no handler runs against a half-destroyed streamer.
    stream_.reset();
}

Rect DisplayStreamer::outputFrame() const {
    const Rect& b = display_.bounds;
    return {b.x / scale_, b.y / scale_, b.width / scale_, b.height / scale_};
}

void DisplayStreamer::createStream() {
    log_.info("Creating stream for display %s with dimensions: %f \u00d7 %f",
              display_.localizedName.c_str(), outputWidth(), outputHeight());
    StreamProperties properties;
    properties.queueDepth = 1;
    properties.minimumFrameTime = 0;
    properties.showCursor = true;
    const double ratio = captureRatio();
    streamRatio_.store(ratio);
    const std::int64_t width = truncateToInt64(outputWidth() * ratio);
    const std::int64_t height = truncateToInt64(outputHeight() * ratio);

    stream_.reset();
    CaptureService* service = captureService();
    if (!service)
        return;
    // The handler keeps the streamer alive for as long as the stream exists.
    auto self = shared_from_this();
    stream_ = service->createStream(
        display_.id, width, height, kPixelFormatBGRA, properties, streamQueue_,
        [self](FrameStatus status, FrameSurfacePtr surface) { self->handleFrame(status, std::move(surface)); });
}

void DisplayStreamer::start(bool pauseOnNextFrame) {
    log_.info("Starting stream for display %s", display_.localizedName.c_str());
    const std::uint64_t number = startCount_.load() + 1;
    startCount_.store(number);
    // Accepting before the pause flag: a handler that sees the flag also sees this start.
    acceptingFor_.store(number);
    pauseOnNextFrame_.store(pauseOnNextFrame);
    if (!stream_)
        createStream();
    if (stream_)
        stream_->start();
    isStreaming = true;
}

void DisplayStreamer::stop() {
    log_.info("Stopping stream for display %s", display_.localizedName.c_str());
    acceptingFor_.store(0);
    if (stream_)
        stream_->stop();
    isStreaming = false;
}

void DisplayStreamer::toggle() {
    log_.info("Toggling stream for display %s", display_.localizedName.c_str());
    if (isStreaming.get())
        stop();
    else
        start(false);
}

void DisplayStreamer::setStreaming(bool on) {
    if (on)
        start(false);
    else
        stop();
}

void DisplayStreamer::releaseStream() {
    log_.info("Releasing stream for display %s", display_.localizedName.c_str());
    stop();
    stream_.reset();
}

void DisplayStreamer::setScale(double newScale) {
    if (newScale == scale_)
        return;
    log_.info("Changing scale from %f to %f", scale_, newScale);
    scale_ = newScale;
    const bool wasStreaming = isStreaming.get();
    releaseStream();
    if (wasStreaming)
        start(false);
}

double DisplayStreamer::captureRatio() const {
    // A scale below 1 already asks for more than the display's pixels.
    return std::max(1.0, std::min(pixelRatio_, scale_));
}

void DisplayStreamer::setPixelRatio(double ratio) {
    if (!(ratio > 0) || ratio == pixelRatio_)
        return;
    const double before = captureRatio();
    pixelRatio_ = ratio;
    if (captureRatio() == before)
        return;
    log_.info("Changing pixel ratio to %f", ratio);
    const bool wasStreaming = isStreaming.get();
    releaseStream();
    if (wasStreaming)
        start(false);
}

std::shared_ptr<const Image> DisplayStreamer::outputImage(FrameSurfacePtr snapshot, double scale) const {
    const double pointsPerPixel = snapshot->width() > 0 ? display_.bounds.width / snapshot->width() : 1.0;
    const double factor = pointsPerPixel * (1.0 / scale);
    return std::make_shared<const Image>(
        Image::fromSurface(std::move(snapshot)).transformed(AffineTransform::scale(factor, factor)));
}

void DisplayStreamer::captureScreenshot() {
    const std::uint64_t asked = ++snapshotsAsked_;
    if (!displayQueryService().snapshotsMayWait()) {
        log_.info("Capturing screenshot of %s", display_.localizedName.c_str());
        screenImage_.store(outputImage(display_.createImage(), scale_));
        return;
    }
    log_.info("Asking for a screenshot of %s", display_.localizedName.c_str());
    std::uint64_t framesBefore = 0;
    {
        std::lock_guard lock(imageMutex_);
        screenImage_.store(outputImage(FrameSurface::allocate(std::max(1, int(display_.bounds.width / scale_)),
                                                              std::max(1, int(display_.bounds.height / scale_))),
                                       scale_));
        framesBefore = framesTaken_;
    }
    // A queue of its own, released by its own work: closing the view never waits
    // for a desktop that takes its time.
    auto queue = std::make_shared<DispatchQueue>("Snapshot " + std::to_string(display_.id));
    std::weak_ptr<DisplayStreamer> weak = weak_from_this();
    queue->async([queue, weak, id = display_.id, asked, framesBefore]() mutable {
        FrameSurfacePtr shot = displayQueryService().createImage(id);
        queue.reset();
        if (!shot)
            return;
        mainQueue().async([weak, shot = std::move(shot), asked, framesBefore]() mutable {
            auto self = weak.lock();
            if (!self)
                return;
            {
                std::lock_guard lock(self->imageMutex_);
                if (self->snapshotsAsked_ != asked || self->framesTaken_ != framesBefore) {
                    self->log_.debug("A screenshot of %s came after a newer picture", self->display_.localizedName.c_str());
                    return;
                }
                self->screenImage_.store(self->outputImage(std::move(shot), self->scale_));
            }
            self->log_.notice("The screenshot of %s came", self->display_.localizedName.c_str());
            self->snapshotArrived.emit();
        });
    });
}

std::optional<Image> DisplayStreamer::flippedScreenImage() const {
    auto image = screenImage_.load();
    if (!image) {
        log_.error("The screen image for %s is nil, not returning an image.", description().c_str());
        return std::nullopt;
    }
    const double height = image->extent().height;
    return image->transformed(flipVertical()).transformed(AffineTransform::translation(0, height));
}

void DisplayStreamer::handleFrame(FrameStatus status, FrameSurfacePtr surface) {
    auto self = shared_from_this();
    mainQueue().async([self, status] { self->currentStatus = status; });

    const bool pause = pauseOnNextFrame_.exchange(false);
    std::uint64_t accepting = acceptingFor_.load();
    const bool takeFrame = accepting != 0;
    if (pause) {
        log_.debug("Automatically pausing stream from flag.");
        // Later frames of this start are refused from here on; the stop itself
        // (platform stop and the isStreaming change) happens on the main thread, where
        // observers live, and only if no newer start came first.
        const std::uint64_t pausedStart = accepting;
        acceptingFor_.compare_exchange_strong(accepting, 0);
        mainQueue().async([self, pausedStart] {
            if (self->startCount_.load() == pausedStart)
                self->stop();
        });
    }

    switch (status) {
    case FrameStatus::FrameComplete:
        if (surface && takeFrame) {
            // A frame captured at a pixel ratio keeps its pixels and is placed at
            // the output size; the view's own scale brings them back 1:1.
            const double ratio = streamRatio_.load();
            Image image = Image::fromSurface(std::move(surface));
            if (ratio != 1)
                image = image.transformed(AffineTransform::scale(1 / ratio, 1 / ratio));
            std::lock_guard lock(imageMutex_);
            screenImage_.store(std::make_shared<const Image>(std::move(image)));
            ++framesTaken_;
        }
        break;
    case FrameStatus::FrameIdle:
    case FrameStatus::FrameBlank:
        break;
    case FrameStatus::Stopped:
        log_.info("%s stream is stopped", display_.localizedName.c_str());
        break;
    default:
        log_.fault("%s", describe(status).c_str());
        break;
    }
}

Rect DisplayStreamer::outputMetrics(const std::vector<DisplayStreamerPtr>& streamers) {
    if (streamers.empty()) {
        displayLog().error("Attempting to calculate output metrics for zero displays");
        return Rect::zero();
    }
    double minX = INFINITY, minY = INFINITY, maxX = 0, maxY = 0;
    for (const auto& s : streamers) {
        const Rect f = s->outputFrame();
        minX = std::min(minX, f.x);
        minY = std::min(minY, f.y);
        maxX = std::max(maxX, f.x + f.width);
        maxY = std::max(maxY, f.y + f.height);
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

bool operator==(const DisplayStreamer& a, const DisplayStreamer& b) {
    return a.display().id == b.display().id && a.scale() == b.scale() &&
           a.isStreaming.get() == b.isStreaming.get() && a.isVisible.get() == b.isVisible.get();
}

std::size_t hashValue(const DisplayStreamer& s) {
    std::size_t seed = hashValue(s.display());
    hashCombine(seed, std::hash<double>{}(s.scale()));
    hashCombine(seed, std::hash<bool>{}(s.isStreaming.get()));
    hashCombine(seed, std::hash<bool>{}(s.isVisible.get()));
    return seed;
}

bool sameStreams(const std::vector<DisplayStreamerPtr>& a, const std::vector<DisplayStreamerPtr>& b) {
    if (&a == &b || (a.data() == b.data() && a.size() == b.size()))
        return true;
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(*a[i] == *b[i]))
            return false;
    return true;
}

} // namespace overlook
