#include "Monitors.h"

#include "Platform/X11/Xcb.h"

#include <cstring>
#include <xcb/randr.h>

namespace overlook::x11 {

const Monitor* MonitorLayout::find(DisplayID id) const {
    for (const auto& m : monitors)
        if (m.id == id)
            return &m;
    return nullptr;
}

Rect MonitorLayout::bounds(const Monitor& m) const {
    const Monitor* origin = main();
    return m.rootRect.offsetBy(-origin->rootRect.x, -origin->rootRect.y);
}

Rect MonitorLayout::screenFrame(const Monitor& m) const {
    const Rect b = bounds(m);
    return {b.x, main()->rootRect.height - (b.y + b.height), b.width, b.height};
}

Point MonitorLayout::toYUp(double rootX, double rootY) const {
    const Monitor* origin = main();
    if (!origin)
        return {rootX, rootY};
    return {rootX - origin->rootRect.x, origin->rootRect.y + origin->rootRect.height - rootY};
}

std::optional<std::string> edidMonitorName(const std::uint8_t* edid, std::size_t length) {
    if (length < 128)
        return std::nullopt;
    for (std::size_t offset = 54; offset + 18 <= 126; offset += 18) {
        const std::uint8_t* d = edid + offset;
        if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 0xFC)
            continue;
        std::string name;
        for (int i = 5; i < 18 && d[i] != 0x0A && d[i] != 0; ++i)
            name += static_cast<char>(d[i]);
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        if (!name.empty())
            return name;
    }
    return std::nullopt;
}

bool isBuiltinConnector(const std::string& c) {
    return c.rfind("eDP", 0) == 0 || c.rfind("LVDS", 0) == 0 || c.rfind("DSI", 0) == 0;
}

DisplayID idForMonitorName(const std::string& name) {
    std::uint32_t h = 2166136261u; // FNV-1a
    for (unsigned char ch : name) {
        h ^= ch;
        h *= 16777619u;
    }
    return h | 0x80000000u; // X ids use at most 29 bits
}

namespace {

double rotationOf(std::uint16_t randrRotation) {
    if (randrRotation & XCB_RANDR_ROTATION_ROTATE_90)
        return 90;
    if (randrRotation & XCB_RANDR_ROTATION_ROTATE_180)
        return 180;
    if (randrRotation & XCB_RANDR_ROTATION_ROTATE_270)
        return 270;
    return 0;
}

std::optional<std::string> edidName(xcb_connection_t* c, xcb_randr_output_t output, xcb_atom_t edidAtom) {
    if (edidAtom == XCB_ATOM_NONE)
        return std::nullopt;
    auto r = reply<xcb_randr_get_output_property_reply_t>(
        c, xcb_randr_get_output_property_reply,
        xcb_randr_get_output_property(c, output, edidAtom, XCB_ATOM_ANY, 0, 64, false, false));
    if (!r || r->format != 8)
        return std::nullopt;
    return edidMonitorName(xcb_randr_get_output_property_data(r.get()),
                           xcb_randr_get_output_property_data_length(r.get()));
}

} // namespace

MonitorLayout readMonitors(xcb_connection_t* c, xcb_window_t root) {
    MonitorLayout layout;
    auto monitors = reply<xcb_randr_get_monitors_reply_t>(c, xcb_randr_get_monitors_reply,
                                                          xcb_randr_get_monitors(c, root, 1));
    if (!monitors)
        return layout;
    auto resources = reply<xcb_randr_get_screen_resources_current_reply_t>(
        c, xcb_randr_get_screen_resources_current_reply, xcb_randr_get_screen_resources_current(c, root));
    const xcb_randr_output_t* outputs =
        resources ? xcb_randr_get_screen_resources_current_outputs(resources.get()) : nullptr;
    const int outputCount = resources ? xcb_randr_get_screen_resources_current_outputs_length(resources.get()) : 0;
    const xcb_timestamp_t configTime = resources ? resources->config_timestamp : XCB_CURRENT_TIME;
    const xcb_atom_t edidAtom = internAtom(c, "EDID", true);

    int monitorIndex = 0;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
         xcb_randr_monitor_info_next(&it), ++monitorIndex) {
        const xcb_randr_monitor_info_t* info = it.data;
        Monitor m;
        const std::string monitorName = atomName(c, info->name);
        m.name = monitorName;
        m.isPrimary = info->primary;
        m.rootRect = Rect(info->x, info->y, info->width, info->height);
        m.millimetres = Size{static_cast<double>(info->width_in_millimeters),
                             static_cast<double>(info->height_in_millimeters)};
        m.id = idForMonitorName(monitorName);
        m.unitNumber = static_cast<std::uint32_t>(outputCount + monitorIndex);

        if (xcb_randr_monitor_info_outputs_length(info) > 0) {
            const xcb_randr_output_t output = xcb_randr_monitor_info_outputs(info)[0];
            m.id = output;
            for (int i = 0; i < outputCount; ++i)
                if (outputs[i] == output)
                    m.unitNumber = static_cast<std::uint32_t>(i);
            auto outInfo = reply<xcb_randr_get_output_info_reply_t>(
                c, xcb_randr_get_output_info_reply, xcb_randr_get_output_info(c, output, configTime));
            if (outInfo) {
                m.connector.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(outInfo.get())),
                                   xcb_randr_get_output_info_name_length(outInfo.get()));
                if (outInfo->crtc != XCB_NONE) {
                    auto crtc = reply<xcb_randr_get_crtc_info_reply_t>(
                        c, xcb_randr_get_crtc_info_reply, xcb_randr_get_crtc_info(c, outInfo->crtc, configTime));
                    if (crtc) {
                        m.rotation = rotationOf(crtc->rotation);
                        if (resources) {
                            auto modes = xcb_randr_get_screen_resources_current_modes(resources.get());
                            const int n = xcb_randr_get_screen_resources_current_modes_length(resources.get());
                            for (int i = 0; i < n; ++i)
                                if (modes[i].id == crtc->mode && modes[i].htotal && modes[i].vtotal)
                                    m.refreshRate = static_cast<double>(modes[i].dot_clock) /
                                                    (static_cast<double>(modes[i].htotal) * modes[i].vtotal);
                        }
                    }
                }
            }
            m.isBuiltin = isBuiltinConnector(m.connector);
            if (auto name = edidName(c, output, edidAtom))
                m.name = *name;
        }
        layout.monitors.push_back(std::move(m));
    }
    for (std::size_t i = 0; i < layout.monitors.size(); ++i)
        if (layout.monitors[i].isPrimary) {
            layout.mainIndex = i;
            break;
        }
    return layout;
}

} // namespace overlook::x11

namespace overlook::x11 {

std::vector<DisplayID> changedMonitors(const MonitorLayout& before, const MonitorLayout& after) {
    auto same = [&](const Monitor& a, const Monitor& b) {
        return a.rootRect == b.rootRect && a.rotation == b.rotation && a.isPrimary == b.isPrimary &&
               a.name == b.name && a.millimetres == b.millimetres && a.unitNumber == b.unitNumber &&
               before.bounds(a) == after.bounds(b);
    };
    std::vector<DisplayID> changed;
    for (const Monitor& old : before.monitors) {
        const Monitor* now = after.find(old.id);
        if (!now || !same(old, *now))
            changed.push_back(old.id);
    }
    for (const Monitor& now : after.monitors)
        if (!before.find(now.id))
            changed.push_back(now.id);
    return changed;
}

} // namespace overlook::x11
