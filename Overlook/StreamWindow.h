#pragma once
// Separate windows that show one display's stream with the controls strip. Each
// has a stream controller of its own; its delegate pauses the streams when the
// window closes or is minimised and restores them when it comes back. Main thread.

#include "Overlook/StreamController.h"

#include <QWidget>

#include <map>
#include <memory>
#include <optional>

namespace overlook {

class DisplayView;

class StreamWindowDelegate {
public:
    explicit StreamWindowDelegate(std::weak_ptr<StreamController> controller) : controller_(std::move(controller)) {}

    void windowWillClose();
    void windowWillMiniaturize();
    void windowDidDeminiaturize();

    const std::map<DisplayID, bool>& previousState() const { return previousState_; }

private:
    std::weak_ptr<StreamController> controller_;
    std::map<DisplayID, bool> previousState_;
};

// The window and its content in one: it holds the controller (as the content's
// environment object), sends the delegate its calls and handles the keys.
class StreamWindow final : public QWidget {
public:
    StreamWindow(std::shared_ptr<StreamController> controller, QWidget* parent = nullptr);
    ~StreamWindow() override;

    const std::shared_ptr<StreamController>& controller() const { return controller_; }
    StreamWindowDelegate& delegate() { return *delegate_; }
    DisplayView* displayView() const { return view_; }
    // Width over height of the first content size; resizing keeps it.
    double aspectRatio() const { return aspect_; }
    // The size a resize to `wanted` ends up with: within the limits, at the aspect.
    QSize constrainedSize(QSize wanted) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The picture has no title bar of its own: dragging it moves the window.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // "Always on Top", for a display the user cannot see otherwise; off at first and
    // kept for as long as the window lives.
    void contextMenuEvent(QContextMenuEvent* event) override;

public:
    bool isAlwaysOnTop() const { return windowFlags().testFlag(Qt::WindowStaysOnTopHint); }
    void setAlwaysOnTop(bool on);

private:
    std::shared_ptr<StreamController> controller_;
    std::unique_ptr<StreamWindowDelegate> delegate_;
    DisplayView* view_;
    double aspect_ = 1;
    bool minimized_ = false;
    bool adjusting_ = false;
    // Where the picture was grabbed, relative to the window, while we move it ourselves.
    std::optional<QPoint> dragOffset_;
};

// A window (deleted when closed) for the controller, sized for width 400 plus the
// strip, centred and brought to the front.
StreamWindow* makeWindow(const std::shared_ptr<StreamController>& controller);

// Pops the streamer's display out into a window of its own with a fresh
// controller: "<name> — Overlook", streaming at once when "autoPlay" is set.
StreamWindow* makeStreamWindow(const DisplayStreamer& streamer);

} // namespace overlook
