#pragma once
// Sees key and mouse events of the whole application before their windows do, like
// a shortcut field needs to while it records. Removed when the object goes away.
// Main thread only.

#include <QEvent>
#include <QObject>

#include <functional>

namespace overlook::KeyboardShortcuts {

class LocalEventMonitor final : public QObject {
public:
    enum class Events { KeyDown = 1, MouseUp = 2 };
    // Returns true to let the event through, false to swallow it.
    using Callback = std::function<bool(QObject* receiver, QEvent* event)>;

    explicit LocalEventMonitor(Callback callback);
    ~LocalEventMonitor() override;
    void start();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Callback callback_;
    bool started_ = false;
};

} // namespace overlook::KeyboardShortcuts
