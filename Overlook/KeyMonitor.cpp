#include "Overlook/KeyMonitor.h"

#include "Overlook/LocalDisplayManager.h"

#include <QApplication>
#include <QKeyEvent>

#include <cstdio>

namespace overlook {

namespace {

// Watches every key press of the application's own windows.
class KeyMonitor final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Only the event as it reaches a widget: the same press is also offered to
        // the window and as a shortcut override, and must be acted on once.
        if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers();
        const KeyMonitorDecision d = keyMonitorDecision(keyMonitorCharacters(*key), mods == Qt::ControlModifier);
        if (d.printed) {
            std::printf("Toggling display with id %lld\n", static_cast<long long>(*d.printed));
            std::fflush(stdout);
        }
        return d.consume;
    }
};

} // namespace

std::string keyMonitorCharacters(const QKeyEvent& event) {
    // Qt's key follows the layout's symbol for the key, Shift included and Control
    // not, so Control-5 is still the key 5 while its text is a control character.
    const int key = event.key();
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return std::string(1, static_cast<char>('0' + (key - Qt::Key_0)));
    return event.text().toStdString();
}

void installKeyMonitor() {
    static bool installed = false;
    if (installed || !qApp)
        return;
    installed = true;
    qApp->installEventFilter(new KeyMonitor(qApp));
}

void enableKeyMonitor() { LocalDisplayManager::setKeyMonitorInstaller(&installKeyMonitor); }

} // namespace overlook
