#include "StreamWindow.h"

#include "Foundation/DefaultsStore.h"
#include "Foundation/Logger.h"
#include "Overlook/ContentViews.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QWindow>
#include <QScreen>
#include <QVBoxLayout>

#include <cmath>

namespace overlook {

namespace {
const Logger& windowLog() {
    static const Logger log(logs::kApplication, "StreamController");
    return log;
}
} // namespace

void StreamWindowDelegate::windowWillClose() {
    windowLog().notice("Window is closing, pausing streams");
    if (auto c = controller_.lock())
        c->stopAll();
}

void StreamWindowDelegate::windowWillMiniaturize() {
    windowLog().notice("Window is minimizing, pausing streams");
    auto c = controller_.lock();
    previousState_ = c ? c->streamingState() : std::map<DisplayID, bool>{};
    if (c)
        c->stopAll();
}

void StreamWindowDelegate::windowDidDeminiaturize() {
    if (auto c = controller_.lock())
        c->restoreStreamingState(previousState_);
    previousState_.clear();
}

StreamWindow::StreamWindow(std::shared_ptr<StreamController> controller, QWidget* parent)
    : QWidget(parent, Qt::Window), controller_(std::move(controller)),
      delegate_(std::make_unique<StreamWindowDelegate>(controller_)) {
    const Size size = controller_->contentSize(400, 30);
    aspect_ = size.width / size.height;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new DisplayView(controller_, false, this);
    // The picture alone may be smaller than the "All displays are hidden" text.
    layout->addWidget(view_);
    const Rect metrics = DisplayStreamer::outputMetrics(controller_->visibleStreams());
    const double w = metrics.width > 0 ? metrics.width : size.width;
    const double h = metrics.height > 0 ? metrics.height : size.height;
    setMinimumSize(int(std::ceil(w / 8)), int(std::ceil(h / 8)));
    setMaximumSize(int(2 * w), int(2 * h));
    resize(int(std::lround(size.width)), int(std::lround(size.height)));
}

StreamWindow::~StreamWindow() = default;

QSize StreamWindow::constrainedSize(QSize wanted) const {
    int width = std::clamp(wanted.width(), minimumWidth(), maximumWidth());
    int height = int(std::lround(width / aspect_));
    if (height > maximumHeight() || height < minimumHeight()) {
        height = std::clamp(height, minimumHeight(), maximumHeight());
        width = std::clamp(int(std::lround(height * aspect_)), minimumWidth(), maximumWidth());
    }
    return {width, height};
}

void StreamWindow::keyPressEvent(QKeyEvent* event) {
    // Control is this desktop's command modifier; keypad and Shift variants differ.
    const bool command = event->modifiers() == Qt::ControlModifier;
    if (command && event->key() == Qt::Key_W)
        close();
    else if (command && event->key() == Qt::Key_M)
        showMinimized();
    event->accept(); // every other key stops here
}

void StreamWindow::closeEvent(QCloseEvent* event) {
    delegate_->windowWillClose();
    QWidget::closeEvent(event);
}

void StreamWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange) {
        const bool nowMinimized = windowState() & Qt::WindowMinimized;
        if (nowMinimized && !minimized_)
            delegate_->windowWillMiniaturize();
        else if (!nowMinimized && minimized_)
            delegate_->windowDidDeminiaturize();
        minimized_ = nowMinimized;
    }
    QWidget::changeEvent(event);
}

void StreamWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (adjusting_)
        return;
    const QSize keep = constrainedSize(size());
    if (keep != size()) {
        adjusting_ = true;
        resize(keep);
        adjusting_ = false;
    }
}

void StreamWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    // The window manager moves it where it can (snapping, edges); without one we do.
    if (windowHandle() && windowHandle()->startSystemMove())
        return;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void StreamWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!dragOffset_ || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    event->accept();
    move(event->globalPosition().toPoint() - *dragOffset_);
}

void StreamWindow::mouseReleaseEvent(QMouseEvent* event) {
    dragOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

void StreamWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* onTop = menu.addAction(tr("Always on Top"));
    onTop->setCheckable(true);
    onTop->setChecked(isAlwaysOnTop());
    connect(onTop, &QAction::toggled, this, [this](bool on) { setAlwaysOnTop(on); });
    menu.exec(event->globalPos());
}

void StreamWindow::setAlwaysOnTop(bool on) {
    if (on == isAlwaysOnTop())
        return;
    // Changing the flags re-creates the native window, which hides it: show it
    // again where it was.
    const QPoint at = pos();
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    move(at);
    if (visible)
        show();
}

StreamWindow* makeWindow(const std::shared_ptr<StreamController>& controller) {
    auto* window = new StreamWindow(controller);
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    window->show();
    window->raise();
    window->activateWindow();
    window->setFocus();
    return window;
}

StreamWindow* makeStreamWindow(const DisplayStreamer& streamer) {
    plainLog("Opening a window of its own for %s", streamer.display().localizedName.c_str());
    const DefaultsStore& store = standardDefaultsStore();
    auto controller = std::make_shared<StreamController>(store.boolForKey("hideMainDisplay"),
                                                         effectiveScale(store.floatForKey("scale")));
    controller->hideAll(streamer);
    StreamWindow* window = makeWindow(controller);
    // The display's name, as the popover's list shows it; its id means nothing to a person.
    window->setWindowTitle(QString::fromStdString(streamer.display().localizedName + " \u2014 Overlook"));
    if (store.boolForKey("autoPlay"))
        controller->startAll();
    return window;
}

} // namespace overlook
