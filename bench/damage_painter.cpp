// Keeps a display changing for capture benchmarks: repaints the whole root window
// with a moving pattern RATE times a second until killed.
//   damage_painter [RATE]
#include <chrono>
#include <cstdlib>
#include <thread>
#include <xcb/xcb.h>

int main(int argc, char** argv) {
    const double rate = argc > 1 ? std::atof(argv[1]) : 60;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c))
        return 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t values[] = {0, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
    const auto period = std::chrono::duration<double>(1.0 / rate);
    auto next = std::chrono::steady_clock::now();
    for (unsigned frame = 0;; ++frame) {
        const std::uint32_t background = 0x203040 + (frame % 64) * 0x010203;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &background);
        const xcb_rectangle_t all{0, 0, screen->width_in_pixels, screen->height_in_pixels};
        xcb_poly_fill_rectangle(c, screen->root, gc, 1, &all);
        const std::uint32_t bar = 0xFFFFFF;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &bar);
        for (int i = 0; i < 8; ++i) {
            const xcb_rectangle_t r{static_cast<std::int16_t>((frame * 7 + i * 480) % screen->width_in_pixels),
                                    static_cast<std::int16_t>(i * 135), 3, 135};
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
        }
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (xcb_connection_has_error(c))
            return 0;
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(next);
    }
}
