#pragma once
// The preferences window of the application: built once at start-up with the
// General pane and (unless the build leaves the updater out) the Updates pane, in
// that order, and shown from the menu with the pane that was active last.
// Main thread only.

#include "Settings/SettingsWindowController.h"

#include <memory>

namespace overlook {

class DesktopNotifier;
class UserDefaults;

namespace updates {
class Updater;
class UpdateNotifier;
struct ApplicationInfo;
} // namespace updates

class PreferencesCommand final {
public:
    // `store` keeps the window's place and the updater's settings; null means the
    // user's standard store.
    explicit PreferencesCommand(std::shared_ptr<UserDefaults> store = nullptr);
    ~PreferencesCommand();

    // Shows the window (the first pane the first time, the last active one after)
    // and brings it to the front; a window already open is raised, not doubled.
    void preferencesMenuItemActionHandler();

    Settings::SettingsWindowController& windowController() const { return *windowController_; }
    // Null when the build has no updater.
    updates::Updater* updater() const { return updater_.get(); }
    // The updater tells of updates it finds on its own through `notifier`; their
    // "Show" opens the Updates pane with the update.
    void setNotifier(DesktopNotifier* notifier);

private:
    // Declared first so that it outlives the pane that refers to it. Shared only so
    // that builds without the updater need not know its type.
    std::shared_ptr<updates::UpdateNotifier> updateNotifier_;
    std::shared_ptr<updates::Updater> updater_;
    std::unique_ptr<Settings::SettingsWindowController> windowController_;
};

} // namespace overlook
