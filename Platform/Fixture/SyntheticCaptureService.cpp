#include "SyntheticCaptureService.h"

#include "Platform/Fixture/TestPattern.h"
#include "Tessera/FrameDelivery.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace overlook::fixture {

class SyntheticCaptureService::Stream final : public CaptureStream {
public:
    Stream(SyntheticCaptureService& owner, DisplayID display, int width, int height, Size pointSize,
           std::uint32_t color, std::shared_ptr<DispatchQueue> queue, FrameHandler handler)
        : owner_(owner), display_(display), width_(width), height_(height), pointSize_(pointSize),
          color_(color), delivery_(std::move(queue), std::move(handler)) {}

    ~Stream() override {
        stopTicker();
        owner_.forget(this);
        delivery_.close();
    }

    DisplayID display() const { return display_; }
    bool started() const { return started_.load(); }

    void start() override {
        {
            std::lock_guard lock(owner_.mutex_);
            owner_.startsAndStops_.push_back({display_, true});
        }
        if (started_.exchange(true))
            return;
        if (owner_.framesPerSecond_ > 0)
            startTicker();
    }

    void stop() override {
        {
            std::lock_guard lock(owner_.mutex_);
            owner_.startsAndStops_.push_back({display_, false});
        }
        if (!started_.exchange(false))
            return;
        stopTicker();
        deliver(FrameStatus::Stopped, nullptr);
    }

    void deliverNext(FrameStatus status) {
        if (status == FrameStatus::FrameComplete)
            deliver(status, paint());
        else
            deliver(status, nullptr);
    }

private:
    FrameSurfacePtr paint() {
        // Reuse a surface nobody else holds any more; otherwise make a new one.
        std::lock_guard lock(paintMutex_);
        std::shared_ptr<FrameSurface> surface;
        for (auto& s : pool_)
            if (s.use_count() == 1) {
                surface = s;
                break;
            }
        if (!surface) {
            surface = FrameSurface::allocate(width_, height_);
            if (pool_.size() < 4)
                pool_.push_back(surface);
        }
        renderPattern(*surface, color_, pointSize_, frameNumber_++);
        return surface;
    }

    void deliver(FrameStatus status, FrameSurfacePtr frame) { delivery_.post(status, std::move(frame)); }

    void startTicker() {
        std::lock_guard lock(tickMutex_);
        tickerStop_ = false;
        ticker_ = std::thread([this] {
            const auto period = std::chrono::duration<double>(1.0 / owner_.framesPerSecond_);
            auto next = std::chrono::steady_clock::now();
            std::unique_lock lock(tickMutex_);
            while (!tickerStop_) {
                lock.unlock();
                deliverNext(FrameStatus::FrameComplete);
                lock.lock();
                next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
                tickWake_.wait_until(lock, next, [this] { return tickerStop_; });
            }
        });
    }

    void stopTicker() {
        std::thread ticker;
        {
            std::lock_guard lock(tickMutex_);
            tickerStop_ = true;
            ticker = std::move(ticker_);
        }
        tickWake_.notify_all();
        if (ticker.joinable())
            ticker.join();
    }

    SyntheticCaptureService& owner_;
    DisplayID display_;
    int width_, height_;
    Size pointSize_;
    std::uint32_t color_;
    FrameDelivery delivery_;
    std::atomic<bool> started_{false};
    std::uint64_t frameNumber_ = 0;
    std::mutex paintMutex_; // the ticker and emit() may paint at the same time
    std::vector<std::shared_ptr<FrameSurface>> pool_;

    std::mutex tickMutex_;
    std::condition_variable tickWake_;
    bool tickerStop_ = false;
    std::thread ticker_;
};

SyntheticCaptureService::SyntheticCaptureService(std::shared_ptr<FixtureDisplayService> displays,
                                                 double framesPerSecond)
    : displays_(std::move(displays)), framesPerSecond_(framesPerSecond) {}

SyntheticCaptureService::~SyntheticCaptureService() = default;

std::unique_ptr<CaptureStream> SyntheticCaptureService::createStream(
    DisplayID display, std::int64_t width, std::int64_t height, std::uint32_t pixelFormat,
    const StreamProperties& properties, std::shared_ptr<DispatchQueue> queue, FrameHandler handler) {
    {
        std::lock_guard lock(mutex_);
        created_.push_back({display, width, height, pixelFormat, properties, queue->label()});
    }
    if (refuseCreation_ || pixelFormat != kPixelFormatBGRA || width <= 0 || height <= 0 ||
        width > 16384 || height > 16384)
        return nullptr;
    const Rect bounds = displays_->bounds(display);
    auto stream = std::make_unique<Stream>(*this, display, static_cast<int>(width),
                                           static_cast<int>(height), Size{bounds.width, bounds.height},
                                           displays_->colorOf(display), std::move(queue),
                                           std::move(handler));
    std::lock_guard lock(mutex_);
    streams_.push_back(stream.get());
    return stream;
}

void SyntheticCaptureService::forget(Stream* stream) {
    std::lock_guard lock(mutex_);
    std::erase(streams_, stream);
}

int SyntheticCaptureService::emit(DisplayID display, FrameStatus status) {
    std::vector<Stream*> targets;
    {
        std::lock_guard lock(mutex_);
        for (Stream* s : streams_)
            if (s->display() == display && s->started())
                targets.push_back(s);
    }
    // Streams are created and destroyed on the main thread, as is emit.
    for (Stream* s : targets)
        s->deliverNext(status);
    return static_cast<int>(targets.size());
}

std::vector<CreatedStream> SyntheticCaptureService::createdStreams() const {
    std::lock_guard lock(mutex_);
    return created_;
}

int SyntheticCaptureService::startCount(DisplayID display) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& [id, isStart] : startsAndStops_)
        n += (id == display && isStart);
    return n;
}

int SyntheticCaptureService::stopCount(DisplayID display) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& [id, isStart] : startsAndStops_)
        n += (id == display && !isStart);
    return n;
}

int SyntheticCaptureService::liveStreamCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(streams_.size());
}

} // namespace overlook::fixture
