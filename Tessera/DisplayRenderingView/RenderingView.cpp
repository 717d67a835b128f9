#include "RenderingView.h"

#include "Foundation/MainQueue.h"
#include "Tessera/CpuImageContext.h"
#include "Tessera/DisplayQueryService.h"

#include <QPaintEvent>
#include <QPainter>
#include <QScreen>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace overlook {

namespace {
constexpr double kDefaultFramesPerSecond = 60;
// Refreshes without a change before the view sleeps: a few, so that the refresh
// that follows a burst of frames costs nothing extra.
constexpr int kRefreshesBeforeSleep = 6;
} // namespace

RenderingView::RenderingView(const std::vector<DisplayStreamerPtr>& streams, std::shared_ptr<DisplayRenderer> renderer,
                             std::unique_ptr<ImageContext> context, QWidget* parent)
    : QWidget(parent), log_(logs::kEngine, "RenderingView"), renderer_(std::move(renderer)),
      context_(context ? std::move(context) : std::make_unique<CpuImageContext>()) {
    measure(streams);
    const Rect& frame = renderer_->screenRect;
    if (frame.width > 0 && frame.height > 0)
        resize(static_cast<int>(frame.width), static_cast<int>(frame.height));
    log_.debug("Creating RenderingView with Metal device %s", "CPU");

    // Transparent parts of the frame show what lies behind the view.
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);

    double rate = screen() ? screen()->refreshRate() : 0;
    if (!(rate > 0))
        rate = kDefaultFramesPerSecond;
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(static_cast<int>(std::lround(1000.0 / rate)));
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { refreshTick(); });
    timer_.start();

    wakeRequest_ = std::make_shared<WakeRequest>();
    wakeRequest_->view = this;
    if (auto service = sharedDisplayQueryService(); service && service->reportsPointerMotion()) {
        pointerReported_ = true;
        pointerWatch_ = service->subscribePointerMotion([weak = std::weak_ptr<WakeRequest>(wakeRequest_)] {
            auto request = weak.lock();
            if (!request || request->pending.exchange(true))
                return;
            mainQueue().async([weak] {
                if (auto r = weak.lock()) {
                    r->pending = false;
                    if (r->view)
                        r->view->wake();
                }
            });
        });
    }
}

RenderingView::~RenderingView() {
    pointerWatch_.reset();
    wakeRequest_->view = nullptr;
}

void RenderingView::refreshTick() {
    if (!isVisible()) {
        timer_.stop(); // being shown wakes it
        return;
    }
    const std::size_t before = composedFrames_;
    draw();
    unchangedRefreshes_ = composedFrames_ == before ? unchangedRefreshes_ + 1 : 0;
    if (unchangedRefreshes_ >= kRefreshesBeforeSleep && maySleep())
        timer_.stop();
}

bool RenderingView::maySleep() const {
    // Only the pointer can move the crosshair without telling us, and only where
    // its place is known at all (not on a Wayland desktop without the portal).
    return pointerReported_ || !renderer_->showCrosshair || !lastKey_.cursor;
}

void RenderingView::wake() {
    unchangedRefreshes_ = 0;
    if (!timer_.isActive())
        timer_.start();
}

void RenderingView::watchStreams() {
    streamWatch_.clear();
    for (const auto& s : streams_) {
        // Idle and blank updates leave the picture as it is.
        streamWatch_.emplace_back(s->currentStatus.changed.connect([this](const FrameStatus& status) {
            if (status == FrameStatus::FrameComplete)
                wake();
        }));
        streamWatch_.emplace_back(s->isStreaming.changed.connect([this](bool) { wake(); }));
        streamWatch_.emplace_back(s->snapshotArrived.connect([this] { wake(); }));
        streamWatch_.emplace_back(s->isVisible.changed.connect([this](bool) { wake(); }));
    }
}

void RenderingView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    wake();
}

void RenderingView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    wake();
}

void RenderingView::measure(const std::vector<DisplayStreamerPtr>& streams) {
    renderer_->screenRect = renderer_->outputMetrics(streams);
    std::vector<DisplayStreamerPtr> visible;
    for (const auto& s : streams)
        if (s->isVisible.get())
            visible.push_back(s);
    renderer_->activeScreenRect = renderer_->outputMetrics(visible);
}

void RenderingView::updateStreams(const std::vector<DisplayStreamerPtr>& streams) {
    if (!sameStreams(streams, streams_)) {
        log_.notice("Setting up new streams");
        // Each display gets an image before its stream delivers a frame.
        for (const auto& s : streams)
            s->captureScreenshot();
        streams_ = streams;
        watchStreams();
    }
    measure(streams_);
    wake(); // new settings come this way too
}

bool RenderingView::FrameKey::matches(const FrameKey& o) const {
    if (streams.size() != o.streams.size() || cursor != o.cursor || showCrosshair != o.showCrosshair ||
        lineWidth != o.lineWidth || !(lineColor == o.lineColor) ||
        desaturationPausedStream != o.desaturationPausedStream || !(screenRect == o.screenRect) ||
        !(activeScreenRect == o.activeScreenRect) || width != o.width || height != o.height ||
        preferredWidth != o.preferredWidth || preferredHeight != o.preferredHeight)
        return false;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const StreamState &a = streams[i], &b = o.streams[i];
        const bool sameImage = !a.image.owner_before(b.image) && !b.image.owner_before(a.image);
        if (!sameImage || a.image.expired() != b.image.expired() || a.streamer != b.streamer ||
            a.scale != b.scale || a.visible != b.visible || a.streaming != b.streaming)
            return false;
    }
    return true;
}

void RenderingView::fillKey(FrameKey& key, int width, int height, double preferredWidth, double preferredHeight) const {
    key.streams.clear(); // keeps its capacity: no allocation per frame
    for (const auto& s : streams_)
        key.streams.push_back({s->screenImage(), s.get(), s->scale(), s->isVisible.get(), s->isStreaming.get()});
    const DisplayRenderer& r = *renderer_;
    key.showCrosshair = r.showCrosshair;
    key.cursor = r.showCrosshair ? r.crosshairCentre() : std::nullopt;
    key.lineWidth = r.lineWidth;
    key.lineColor = r.lineColor;
    key.desaturationPausedStream = r.desaturationPausedStream;
    key.screenRect = r.screenRect;
    key.activeScreenRect = r.activeScreenRect;
    key.width = width;
    key.height = height;
    key.preferredWidth = preferredWidth;
    key.preferredHeight = preferredHeight;
}

void RenderingView::draw() {
    // The drawable follows the widget's size, in device pixels.
    const double ratio = devicePixelRatioF();
    const double preferredWidth = width() * ratio, preferredHeight = height() * ratio;
    const int w = static_cast<int>(preferredWidth), h = static_cast<int>(preferredHeight);
    if (w <= 0 || h <= 0)
        return;
    if (drawable_.width() != w || drawable_.height() != h) {
        drawable_ = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
        drawable_.setDevicePixelRatio(ratio);
        canvas_ = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
        canvas_.setDevicePixelRatio(ratio);
        lastFrameValid_ = false;
        presentedValid_ = false;
    }

    fillKey(nextKey_, w, h, preferredWidth, preferredHeight);
    if (lastFrameValid_ && nextKey_.matches(lastKey_))
        return; // the previous frame is still right
    std::swap(lastKey_, nextKey_);
    lastFrameValid_ = true;

    // Composed off screen first: a picture equal to the one on screen is not
    // shown again. On Wayland every redraw is damage that the compositor reports
    // to the screen copy (or portal) that feeds this view; a preview that sees
    // itself converges on a picture of itself after a few nested levels, and
    // stops there instead of redrawing itself at the display rate.
    const RenderDestination destination{canvas_.bits(), w, h, static_cast<int>(canvas_.bytesPerLine())};
    std::optional<RenderError> error = context_->clear(destination);
    if (!error) {
        Image image = Image::transparent();
        renderer_->render(streams_, image);
        const Rect& active = renderer_->activeScreenRect;
        const double s = std::min(preferredWidth / active.width, preferredHeight / active.height);
        const Image scaled = image.transformed(AffineTransform::scale(s, s));
        error = context_->render(scaled, scaled.extent(), destination, {0, 0});
        ++composedFrames_;
    }
    if (error) {
        std::printf("%s\n", error->description.c_str());
        std::fflush(stdout);
        lastFrameValid_ = false; // try again at the next refresh
    }
    if (presentedValid_ && sameImage(canvas_, drawable_))
        return;
    std::swap(drawable_, canvas_);
    presentedValid_ = true;
    ++presentedFrames_;
    update();
}

bool RenderingView::sameImage(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.bytesPerLine() != b.bytesPerLine())
        return false;
    const auto rowBytes = static_cast<std::size_t>(a.width()) * 4;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y), rowBytes) != 0)
            return false;
    return true;
}

void RenderingView::paintEvent(QPaintEvent* event) {
    if (drawable_.isNull())
        return;
    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.drawImage(QPointF(0, 0), drawable_);
}

} // namespace overlook
