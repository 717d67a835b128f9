#include "QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace overlook {

void QtMainQueue::async(std::function<void()> work) {
    // Queued calls to the same receiver keep their order; work posted after the
    // application is gone is dropped with the event queue.
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

void installQtMainQueue() {
    setMainQueue(std::make_shared<QtMainQueue>());
    manualMainQueue().drain();
}

} // namespace overlook
