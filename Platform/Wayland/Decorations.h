#pragma once
// Whether the compositor draws window decorations itself.

namespace overlook::wayland {

// True when the compositor (nullptr: $WAYLAND_DISPLAY) offers server-side
// decorations (xdg-decoration): sway, KDE and most wlroots compositors do, GNOME
// does not. Connects for one round trip; false when it cannot connect.
bool compositorDecoratesWindows(const char* display = nullptr);

} // namespace overlook::wayland
