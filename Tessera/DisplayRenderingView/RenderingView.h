#pragma once
// The live picture of a list of display streamers: a widget redrawn at the
// display rate that pulls each streamer's latest image at draw time, composes the
// frame with its DisplayRenderer and scales it to fit, anchored top-left.
//
// The drawable is a premultiplied QImage that paintEvent shows without another
// copy; the image context renders into a second one of the same size, and the two
// are swapped when the new picture differs from the one on screen (an equal one is
// not shown again). When nothing a frame depends on has changed since the last
// draw, the previous frame stays up and nothing is composed. A view whose picture stays the same for a few refreshes stops its
// timer and sleeps until something can change it: a new frame or status of one of
// its streams, a pointer move (when the display service reports them; otherwise
// a crosshair at a known place keeps the timer going), new settings or streams, a
// resize or being shown. Main thread only.

#include "Foundation/Logger.h"
#include "Foundation/Signal.h"
#include "Tessera/DisplayRenderer.h"
#include "Tessera/ImageContext.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

namespace overlook {

class RenderingView final : public QWidget {
public:
    // Measures `streams` for the renderer's rectangles but starts with an empty
    // list: the first updateStreams installs it. Without a context the CPU
    // context is used.
    RenderingView(const std::vector<DisplayStreamerPtr>& streams, std::shared_ptr<DisplayRenderer> renderer,
                  std::unique_ptr<ImageContext> context = nullptr, QWidget* parent = nullptr);
    ~RenderingView() override;

    // Installs the list (taking a snapshot of each display) when it differs from
    // the current one, and recomputes the renderer's rectangles in every case.
    void updateStreams(const std::vector<DisplayStreamerPtr>& streams);
    // One frame: called by the display-rate timer while the view is visible.
    void draw();

    // Restarts the display-rate refresh if it sleeps.
    void wake();
    bool isSleeping() const { return !timer_.isActive(); }

    const std::vector<DisplayStreamerPtr>& streams() const { return streams_; }
    DisplayRenderer& renderer() { return *renderer_; }
    const QImage& drawable() const { return drawable_; }
    // Frames composed so far (idle refreshes are not counted).
    std::size_t composedFrameCount() const { return composedFrames_; }
    // Of those, frames that differed from the picture on screen and were shown.
    std::size_t presentedFrameCount() const { return presentedFrames_; }
    int frameIntervalMs() const { return timer_.interval(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Everything a frame depends on, to tell an idle refresh from a real one.
    struct StreamState {
        std::weak_ptr<const Image> image; // identity only; never keeps a frame alive
        const DisplayStreamer* streamer;
        double scale;
        bool visible;
        bool streaming;
    };
    struct FrameKey {
        std::vector<StreamState> streams;
        std::optional<Point> cursor;
        bool showCrosshair = false;
        double lineWidth = 0;
        Color lineColor;
        bool desaturationPausedStream = false;
        Rect screenRect, activeScreenRect;
        int width = 0, height = 0;
        double preferredWidth = 0, preferredHeight = 0;
        bool matches(const FrameKey& other) const;
    };
    void fillKey(FrameKey& key, int width, int height, double preferredWidth, double preferredHeight) const;
    void measure(const std::vector<DisplayStreamerPtr>& streams);
    void refreshTick();
    void watchStreams();
    bool maySleep() const;
    static bool sameImage(const QImage& a, const QImage& b);

    // Shared with the display service's pointer callback, which runs on another
    // thread: at most one wake-up waits on the main queue at a time.
    struct WakeRequest {
        std::atomic<bool> pending{false};
        RenderingView* view = nullptr; // main thread; null once the view is gone
    };

    Logger log_;
    std::vector<DisplayStreamerPtr> streams_;
    std::shared_ptr<DisplayRenderer> renderer_;
    std::unique_ptr<ImageContext> context_;
    QImage drawable_; // the picture on screen
    QImage canvas_;   // the next picture, composed here and shown only if it differs
    bool presentedValid_ = false;
    std::size_t presentedFrames_ = 0;
    QTimer timer_;
    FrameKey lastKey_, nextKey_;
    bool lastFrameValid_ = false;
    std::size_t composedFrames_ = 0;
    int unchangedRefreshes_ = 0;
    bool pointerReported_ = false;
    std::shared_ptr<WakeRequest> wakeRequest_;
    std::shared_ptr<void> pointerWatch_;
    std::vector<ScopedConnection> streamWatch_;
};

} // namespace overlook
