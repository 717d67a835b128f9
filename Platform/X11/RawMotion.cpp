#include "RawMotion.h"

#include "Platform/X11/Xcb.h"

#include <xcb/xinput.h>

namespace overlook::x11 {

RawMotion::RawMotion(xcb_connection_t* c, xcb_window_t root) {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_input_id);
    if (!extension || !extension->present)
        return;
    XcbReply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!version || version->major_version < 2)
        return;
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
    } selection = {{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
    xcb_input_xi_select_events(c, root, 1, &selection.head);
    xcb_flush(c);
    opcode_ = extension->major_opcode;
}

bool RawMotion::matches(const xcb_generic_event_t* event) const {
    if (!active() || (event->response_type & 0x7F) != XCB_GE_GENERIC)
        return false;
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    return generic->extension == opcode_ && generic->event_type == XCB_INPUT_RAW_MOTION;
}

} // namespace overlook::x11
