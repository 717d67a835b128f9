// Keys (Linux codes; down in order, up in reverse) or an absolute pointer move in a kwin session.

#include "fake-input-client-protocol.h"

#include <wayland-client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
org_kde_kwin_fake_input* gFakeInput = nullptr;

void global(void*, wl_registry* registry, uint32_t id, const char* interface, uint32_t version) {
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4)
        gFakeInput = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, id, &org_kde_kwin_fake_input_interface, 4));
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistry = {global, globalRemove};
} // namespace

int main(int argc, char** argv) {
    const bool move = argc == 4 && std::strcmp(argv[1], "move") == 0;
    std::vector<uint32_t> keys;
    for (int i = 2; argc > 2 && std::strcmp(argv[1], "keys") == 0 && i < argc; ++i)
        keys.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    if (!move && keys.empty()) {
        std::fprintf(stderr, "usage: %s keys KEYCODE... | move X Y\n", argv[0]);
        return 2;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "kwin_fake_input: cannot connect to the Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistry, nullptr);
    wl_display_roundtrip(display);
    if (!gFakeInput) {
        std::fprintf(stderr, "kwin_fake_input: the compositor offers no fake input (version 4)\n");
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(gFakeInput, "overlook tests", "keys and pointer for tests");
    if (move)
        org_kde_kwin_fake_input_pointer_motion_absolute(gFakeInput, wl_fixed_from_double(std::atof(argv[2])),
                                                        wl_fixed_from_double(std::atof(argv[3])));
    for (uint32_t key : keys)
        org_kde_kwin_fake_input_keyboard_key(gFakeInput, key, 1);
    for (auto it = keys.rbegin(); it != keys.rend(); ++it)
        org_kde_kwin_fake_input_keyboard_key(gFakeInput, *it, 0);
    wl_display_roundtrip(display);
    org_kde_kwin_fake_input_destroy(gFakeInput);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return 0;
}
