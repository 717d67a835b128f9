#include "KeyboardShortcuts/RecorderCocoa/LocalEventMonitor.h"

#include <QCoreApplication>
#include <QMouseEvent>

namespace overlook::KeyboardShortcuts {

LocalEventMonitor::LocalEventMonitor(Callback callback) : callback_(std::move(callback)) {}

LocalEventMonitor::~LocalEventMonitor() {
    if (started_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

void LocalEventMonitor::start() {
    if (started_ || !QCoreApplication::instance())
        return;
    QCoreApplication::instance()->installEventFilter(this);
    started_ = true;
}

bool LocalEventMonitor::eventFilter(QObject* watched, QEvent* event) {
    // Input reaches a window first and is then handed to its widget; looking at the
    // widget's copy only sees every event once.
    if (!watched->isWidgetType())
        return false;
    switch (event->type()) {
    case QEvent::KeyPress:
        return !callback_(watched, event);
    case QEvent::MouseButtonRelease: {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if (button == Qt::LeftButton || button == Qt::RightButton)
            return !callback_(watched, event);
        return false;
    }
    default:
        return false;
    }
}

} // namespace overlook::KeyboardShortcuts
