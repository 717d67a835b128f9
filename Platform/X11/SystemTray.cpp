#include "SystemTray.h"

#include "Xcb.h"

namespace overlook::x11 {

bool xembedTrayExists(const char* displayName) {
    int screen = 0;
    const std::unique_ptr<xcb_connection_t, ConnectionDeleter> c(xcb_connect(displayName, &screen));
    if (xcb_connection_has_error(c.get()))
        return false;
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    // An atom nobody made yet means no tray was ever there.
    const xcb_atom_t atom = internAtom(c.get(), selection.c_str(), true);
    if (atom == XCB_ATOM_NONE)
        return false;
    const auto owner = reply<xcb_get_selection_owner_reply_t>(c.get(), xcb_get_selection_owner_reply,
                                                             xcb_get_selection_owner(c.get(), atom));
    return owner && owner->owner != XCB_NONE;
}

} // namespace overlook::x11
