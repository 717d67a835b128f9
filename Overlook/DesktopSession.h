#pragma once
// What this desktop session offers the tray application, decided once at start:
// the toolkit's platform (Wayland or X11, following the display back end), and the
// way the global shortcut reaches us (an X11 key grab, the desktop's shortcuts
// portal, or a binding the user makes in the compositor).

#include <string>

namespace overlook {

// Before the QApplication exists: Qt's Wayland platform in a Wayland session unless
// the X11 back end is asked for (the windows belong where the pictures come from).
// QT_QPA_PLATFORM set by the user wins.
void chooseToolkitPlatform();

// Installs the hot-key service of this session and publishes the shortcut path.
void installShortcutService();

// "Wayland (wayland), display back end …, tray …, shortcut …" for the log.
std::string describeSession(const std::string& tray);

} // namespace overlook
