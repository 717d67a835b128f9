#pragma once
// Starting Overlook at login, the freedesktop way: an entry in the user's autostart
// folder ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart), copied from the
// installed .desktop file. The file is the setting; nothing is kept in the store.

#include <filesystem>
#include <optional>
#include <string>

namespace overlook {

class LoginItem {
public:
    // The entry's path; empty without XDG_CONFIG_HOME and HOME.
    static std::filesystem::path entryPath();
    // The .desktop file the entry is copied from (installed, else the source tree's).
    static std::filesystem::path sourcePath();

    // Whether the entry exists and is not hidden (Hidden=true turns an entry off).
    static bool isEnabled();
    // Writes (atomically) or removes the entry; the reason when that failed.
    static std::optional<std::string> setEnabled(bool enabled);
};

} // namespace overlook
