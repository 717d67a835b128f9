#include "OwnWindows.h"

#include "Tessera/CaptureService.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace overlook {

OwnWindowTracker::OwnWindowTracker(Sink sink) : sink_(std::move(sink)) {
    pending_.setSingleShot(true);
    pending_.setInterval(0);
    connect(&pending_, &QTimer::timeout, this, [this] { publish(); });
    qApp->installEventFilter(this);
}

OwnWindowTracker::~OwnWindowTracker() {
    if (qApp)
        qApp->removeEventFilter(this);
}

std::vector<Rect> OwnWindowTracker::currentAreas() {
    std::vector<Rect> areas;
    for (const QWidget* w : QApplication::topLevelWidgets()) {
        if (!w->isVisible() || w->isMinimized())
            continue;
        const QRect frame = w->frameGeometry();
        const double ratio = w->devicePixelRatioF();
        areas.push_back(Rect(frame.x() * ratio, frame.y() * ratio, frame.width() * ratio, frame.height() * ratio));
    }
    return areas;
}

bool OwnWindowTracker::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowStateChange:
    case QEvent::Destroy:
        if (watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow() && !pending_.isActive())
            pending_.start();
        break;
    default:
        break;
    }
    return false;
}

void OwnWindowTracker::publish() {
    std::vector<Rect> areas = currentAreas();
    if (sink_)
        sink_(std::move(areas));
    else if (CaptureService* service = captureService())
        service->setOwnWindowAreas(std::move(areas));
}

} // namespace overlook
