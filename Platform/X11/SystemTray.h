#pragma once
// Whether an XEmbed system tray runs: a tray manager owns the selection
// _NET_SYSTEM_TRAY_S<screen> of the default screen. Asked over a connection of its
// own, so it can be asked before anything else talks to the server. Any thread.

namespace overlook::x11 {

// `displayName` nullptr: $DISPLAY. False when there is no X server.
bool xembedTrayExists(const char* displayName = nullptr);

} // namespace overlook::x11
