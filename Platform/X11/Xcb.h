#pragma once
// RAII for xcb: replies and errors are malloc'ed by xcb and freed with free().

#include <cstdlib>
#include <memory>
#include <string>
#include <xcb/xcb.h>

namespace overlook::x11 {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;
using XcbError = std::unique_ptr<xcb_generic_error_t, FreeDeleter>;

// Waits for the reply of `cookie` with `replyFunction` (xcb_foo_reply).
template <class Reply, class Cookie, class Fn>
XcbReply<Reply> reply(xcb_connection_t* c, Fn replyFunction, Cookie cookie, XcbError* error = nullptr) {
    xcb_generic_error_t* e = nullptr;
    XcbReply<Reply> r(replyFunction(c, cookie, &e));
    if (error)
        error->reset(e);
    else
        std::free(e);
    return r;
}

struct ConnectionDeleter {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

// A connection to the X server named by `displayName` (nullptr: $DISPLAY).
class Connection {
public:
    explicit Connection(const char* displayName = nullptr);
    bool ok() const { return connection_ && !xcb_connection_has_error(connection_.get()); }
    const std::string& error() const { return error_; }
    xcb_connection_t* get() const { return connection_.get(); }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_ ? screen_->root : XCB_NONE; }
    bool hasExtension(const char* name) const;

private:
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection_;
    xcb_screen_t* screen_ = nullptr;
    std::string error_;
};

xcb_atom_t internAtom(xcb_connection_t* c, const char* name, bool onlyIfExists = false);
std::string atomName(xcb_connection_t* c, xcb_atom_t atom);

} // namespace overlook::x11
