#pragma once
// The running application's side of the control interface (io.overlook.Overlook.xml):
// one instance per session owns the bus name; calls reach the actions on the main
// thread, in the application's event loop.

#include <QObject>
#include <QString>

#include <functional>

namespace overlook::control {

struct ControlActions {
    std::function<void()> togglePopover, showPopover, hidePopover, showPreferences, screenshotAllDisplays,
        showDisplayInformation;
};

class ControlService final : public QObject {
    Q_OBJECT
public:
    explicit ControlService(QObject* parent = nullptr);

    enum class Claim {
        Owned,           // this process is the instance; calls arrive once the event loop runs
        AnotherInstance, // the name has an owner already
        NoBus,           // no session bus: the process runs alone, without control
    };
    // Exports the object on the session bus, then asks for the name (never queued,
    // never replacing an owner). `error` says why for NoBus.
    Claim claim(QString* error);

    // Until set, calls are answered and do nothing.
    void setActions(ControlActions actions) { actions_ = std::move(actions); }

    // Asks the instance that owns the name to show its popover; false with the
    // reason when it does not answer.
    static bool showPopoverOfRunningInstance(QString* error);

    // The interface's methods, called by the adaptor generated from the description.
    void TogglePopover() { run(actions_.togglePopover); }
    void ShowPopover() { run(actions_.showPopover); }
    void HidePopover() { run(actions_.hidePopover); }
    void ShowPreferences() { run(actions_.showPreferences); }
    void ScreenshotAllDisplays() { run(actions_.screenshotAllDisplays); }
    void ShowDisplayInformation() { run(actions_.showDisplayInformation); }

private:
    static void run(const std::function<void()>& action) {
        if (action)
            action();
    }
    ControlActions actions_;
};

} // namespace overlook::control
