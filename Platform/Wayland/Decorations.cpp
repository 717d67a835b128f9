#include "Decorations.h"

#include <cstring>
#include <wayland-client.h>

namespace overlook::wayland {

bool compositorDecoratesWindows(const char* display) {
    wl_display* d = wl_display_connect(display);
    if (!d)
        return false;
    bool found = false;
    wl_registry* registry = wl_display_get_registry(d);
    static const wl_registry_listener listener = {
        [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
            if (std::strcmp(interface, "zxdg_decoration_manager_v1") == 0)
                *static_cast<bool*>(data) = true;
        },
        [](void*, wl_registry*, uint32_t) {},
    };
    wl_registry_add_listener(registry, &listener, &found);
    wl_display_roundtrip(d);
    wl_registry_destroy(registry);
    wl_display_disconnect(d);
    return found;
}

} // namespace overlook::wayland
