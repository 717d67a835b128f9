#pragma once
// The preferences window of the application: built once at start-up with the
// General pane and (unless the build leaves the updater out) the Updates pane, in
// that order, and shown from the menu with the pane that was active last.
// Main thread only.

#include "Settings/SettingsWindowController.h"

#include <memory>

namespace overlook {

namespace updates {
class Updater;
struct ApplicationInfo;
} // namespace updates

class PreferencesCommand final {
public:
    PreferencesCommand();
    ~PreferencesCommand();

    // Shows the window (the first pane the first time, the last active one after)
    // and brings it to the front; a window already open is raised, not doubled.
    void preferencesMenuItemActionHandler();

    Settings::SettingsWindowController& windowController() const { return *windowController_; }
    // Null when the build has no updater.
    updates::Updater* updater() const { return updater_.get(); }

private:
    // Declared first so that it outlives the pane that refers to it.
    std::unique_ptr<updates::Updater> updater_;
    std::unique_ptr<Settings::SettingsWindowController> windowController_;
};

} // namespace overlook
