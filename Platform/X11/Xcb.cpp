#include "Xcb.h"

#include <cstring>

namespace overlook::x11 {

Connection::Connection(const char* displayName) {
    int screenNumber = 0;
    connection_.reset(xcb_connect(displayName, &screenNumber));
    if (xcb_connection_has_error(connection_.get())) {
        const char* name = displayName ? displayName : std::getenv("DISPLAY");
        error_ = std::string("cannot connect to the X server ") + (name ? name : "(DISPLAY is not set)");
        return;
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_.get()));
    for (int i = 0; it.rem && i < screenNumber; ++i)
        xcb_screen_next(&it);
    screen_ = it.rem ? it.data : nullptr;
    if (!screen_)
        error_ = "the X server has no screen";
}

bool Connection::hasExtension(const char* name) const {
    auto r = reply<xcb_query_extension_reply_t>(
        get(), xcb_query_extension_reply, xcb_query_extension(get(), std::strlen(name), name));
    return r && r->present;
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name, bool onlyIfExists) {
    auto r = reply<xcb_intern_atom_reply_t>(c, xcb_intern_atom_reply,
                                            xcb_intern_atom(c, onlyIfExists, std::strlen(name), name));
    return r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string atomName(xcb_connection_t* c, xcb_atom_t atom) {
    auto r = reply<xcb_get_atom_name_reply_t>(c, xcb_get_atom_name_reply, xcb_get_atom_name(c, atom));
    if (!r)
        return {};
    return std::string(xcb_get_atom_name_name(r.get()), xcb_get_atom_name_name_length(r.get()));
}

} // namespace overlook::x11
