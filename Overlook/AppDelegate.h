#pragma once
// The tray application: the tray icon and its menu, the popover with the live
// previews, the global shortcut that toggles it, and the menu's commands
// (screenshot of all displays, display information). Main thread only.

#include "Foundation/Signal.h"

#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QMenu;
class QTimer;

namespace overlook {

class OwnWindowTracker;
class DesktopNotifier;
class DisplayInformationWindow;

class ContentView;
class DispatchQueue;
class PreferencesCommand;

// The popover: a frameless tool window under the tray icon. It never grabs the
// keyboard or mouse and does not close when the user clicks elsewhere; dragging
// it turns it into an ordinary window. Closing it stops the streams it started.
class Popover final : public QWidget {
public:
    Popover();
    ContentView* content() const { return content_; }
    bool isDetached() const { return detached_; }
    // Logs how long after `askedAt` (the click or shortcut) the first live frame
    // of any of its streams reached the popover; it is drawn at the next refresh.
    void reportFirstFrame(std::chrono::steady_clock::time_point askedAt);
    // Called after the streams followed a change of the displays, to fit the window.
    void onDisplaysFollowed(std::function<void(Popover&)> fit) { fit_ = std::move(fit); }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void carryDragOn(int attempt);

    ContentView* content_;
    QPoint pressAt_;
    bool pressed_ = false;
    bool detached_ = false;
    bool following_ = false; // the detached window follows the pointer itself
    std::vector<ScopedConnection> firstFrameWatch_;
    bool firstFrameSeen_ = false;
    ScopedConnection displaysWatch_;
    std::function<void(Popover&)> fit_;
};

class AppDelegate final {
public:
    AppDelegate();
    ~AppDelegate();

    // Style and palette, tray icon, colour list, the showPopover shortcut.
    void setUpApplication();

    // Opens the popover when none is open, closes it otherwise.
    void togglePopover();
    // Opens the popover, or raises the open one.
    void showPopover();
    // Closes the popover when one is open.
    void hidePopover();
    // Saves the screenshot and tells the user where (or why not) in a notification.
    void captureAllDisplays();
    // Logs the display information and shows it in a window.
    void logDisplayInfo();

    // Null until a tray is there to show it.
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    QMenu* mainMenu() const { return mainMenu_.get(); }
    // The open popover (null once closed, also when the user closed it).
    Popover* popover() const { return popover_; }
    bool hasPopover() const { return hasPopover_; }
    // The preferences window, built once with the delegate.
    PreferencesCommand& preferences() const { return *preferences_; }
    // Null until the display information is first shown.
    DisplayInformationWindow* displayInformationWindow() const { return displayInformation_.get(); }

private:
    void makeMenu();
    void showStatusItem();
    void makeStatusItem();
    void activated(QSystemTrayIcon::ActivationReason reason);
    // Once, when no tray came: how to reach the previews, and on GNOME an offer to
    // add a custom shortcut (written only when the user accepts).
    void tellNoTray();
    void acceptGnomeShortcut();
    void placePopover(Popover& popover) const;
    // Sizes the popover to its visible streams (and places it under the icon on X11).
    void fitPopover(Popover& popover) const;
    void attachColorList();
    void registerShowPopoverShortcut();

    std::unique_ptr<QMenu> mainMenu_;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QTimer> trayWait_;
    QPointer<Popover> popover_;
    bool hasPopover_ = false;
    std::unique_ptr<DispatchQueue> screenshotQueue_;
    std::unique_ptr<PreferencesCommand> preferences_;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<DisplayInformationWindow> displayInformation_;
    // Our windows' redrawing is not a change of the desktop to the capture.
    std::unique_ptr<OwnWindowTracker> ownWindows_;
};

// The dark appearance: Fusion with a dark palette.
void applyDarkAppearance();

// Runs the tray application until it quits; returns the exit code.
int runApplication(int argc, char** argv);

} // namespace overlook
