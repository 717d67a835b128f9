#pragma once
// How the "Show Overlook" shortcut reaches us in this session: a key grab of our
// own (X11), the desktop's global-shortcuts portal (Wayland desktops that offer
// it), or nothing but a binding the user makes in the compositor. The preferences
// show it under the recorder; the log says it at start. Main thread only.

#include "Foundation/Signal.h"

#include <string>

namespace overlook {

struct ShortcutPath {
    enum class Kind { KeyGrab, Portal, Compositor };
    Kind kind = Kind::KeyGrab;
    bool active = false;
    // What users read under the recorder; empty when there is nothing to add.
    std::string note;
};

const ShortcutPath& shortcutPath();
void setShortcutPath(ShortcutPath path);
Signal<const ShortcutPath&>& shortcutPathChanged();

// The command a compositor's key binding runs.
inline constexpr const char* kToggleCommand = "overlook popover --toggle";

} // namespace overlook
