#pragma once
// Pointer movement as events: XInput 2 raw motion on the root window reports every
// move of any pointer device, wherever the pointer is, without the position. A
// client that follows the pointer asks for the position only after such an event
// instead of polling the server while nothing moves.

#include <cstdint>
#include <xcb/xcb.h>

namespace overlook::x11 {

class RawMotion {
public:
    // Selects raw motion on `root`; active() is false when the server has no
    // XInput 2 (the caller then polls).
    RawMotion(xcb_connection_t* c, xcb_window_t root);
    bool active() const { return opcode_ != 0; }
    // Whether `event` is a raw motion event of this selection.
    bool matches(const xcb_generic_event_t* event) const;

private:
    std::uint8_t opcode_ = 0;
};

} // namespace overlook::x11
