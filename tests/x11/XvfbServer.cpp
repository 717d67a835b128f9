#include "XvfbServer.h"

#include "tests/support/Processes.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <sys/wait.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace overlook::test {

std::optional<XPicture> XvfbServer::dump(const std::string& window) const {
    xcb_connection_t* c = xcb_connect(name_.c_str(), nullptr);
    const xcb_window_t id =
        window.empty() ? xcb_setup_roots_iterator(xcb_get_setup(c)).data->root : xcb_window_t(std::stoul(window));
    const auto freed = [](auto* reply) { return std::unique_ptr<std::remove_pointer_t<decltype(reply)>, void (*)(void*)>(reply, free); };
    std::optional<XPicture> picture;
    if (const auto g = freed(xcb_get_geometry_reply(c, xcb_get_geometry(c, id), nullptr)))
        if (const auto image = freed(xcb_get_image_reply(
                c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, id, 0, 0, g->width, g->height, ~0u), nullptr))) {
            // Depth 24: 32 bits a pixel, rows unpadded.
            const auto* pixels = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image.get()));
            picture = XPicture{g->width, g->height, {pixels, pixels + std::size_t(g->width) * g->height}};
            for (std::uint32_t& p : picture->pixels)
                p &= 0xFFFFFF;
        }
    xcb_disconnect(c);
    return picture;
}

XvfbServer::XvfbServer(int width, int height, bool sharedMemory) {
    // -displayfd: Xvfb picks a free number, so that test programs side by side never share one.
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return;
    const std::string geometry = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_ = fork();
    if (pid_ == 0) {
        // Dies with the test and holds none of ctest's pipes, which would keep ctest waiting.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(pipeFds[0]);
        (void)!freopen("/dev/null", "w", stdout);
        (void)!freopen("/dev/null", "w", stderr);
        const std::string fd = std::to_string(pipeFds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", geometry.c_str(), "-noreset", "+extension",
               "RANDR", sharedMemory ? "+extension" : "-extension", "MIT-SHM", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    char c;
    pollfd ready{pipeFds[0], POLLIN, 0};
    while (poll(&ready, 1, 10000) == 1 && read(pipeFds[0], &c, 1) == 1 && c != '\n')
        name_ += c;
    close(pipeFds[0]);
    if (name_.empty() && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (name_.empty())
        pid_ = -1;
    else
        name_ = ":" + name_;
}

XvfbServer::~XvfbServer() { stop(pid_); }

int XvfbServer::run(const std::string& command) const {
    const int status = std::system(("DISPLAY=" + name_ + " " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string XvfbServer::output(const std::string& command) const { return shellOutput("DISPLAY=" + name_ + " " + command); }

void XvfbServer::setMonitors(const std::vector<std::string>& monitors) const {
    std::istringstream list(output("xrandr --listmonitors"));
    for (std::string line; std::getline(list, line);) {
        const auto colon = line.find(": ");
        if (colon == std::string::npos || line.rfind("Monitors", 0) == 0)
            continue;
        std::string name = line.substr(colon + 2);
        name = name.substr(name.find_first_not_of("*+"));
        run("xrandr --delmonitor " + name.substr(0, name.find(' ')) + " >/dev/null 2>&1");
    }
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        char name[64];
        int w, h, x, y;
        std::sscanf(monitors[i].c_str(), "%63s %dx%d+%d+%d", name, &w, &h, &x, &y);
        std::ostringstream arg; // millimetres at 96 dpi
        arg << w << "/" << w * 254 / 960 << "x" << h << "/" << h * 254 / 960 << "+" << x << "+" << y;
        run("xrandr --setmonitor '" + std::string(i == 0 ? "*" : "") + name + "' " + arg.str() +
            (i == 0 ? " screen" : " none") + " >/dev/null 2>&1");
    }
    // Toggling the primary output makes running clients read the monitors again.
    run("xrandr --output screen --noprimary >/dev/null 2>&1; xrandr --output screen --primary >/dev/null 2>&1");
}

void XvfbServer::fill(int x, int y, int w, int h, unsigned rgb) const {
    xcb_connection_t* c = xcb_connect(name_.c_str(), nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE,
                  std::array<std::uint32_t, 2>{rgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS}.data());
    const xcb_rectangle_t r{std::int16_t(x), std::int16_t(y), std::uint16_t(w), std::uint16_t(h)};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
    xcb_free_gc(c, gc);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // round trip: drawn
    xcb_disconnect(c);
}

std::vector<XWindow> XvfbServer::overlookWindows(bool visible) const {
    std::vector<XWindow> windows;
    std::istringstream ids(output(std::string("xdotool search ") + (visible ? "--onlyvisible " : "") +
                                  "--class '^Overlook$' 2>/dev/null")); // the class desktops match to overlook.desktop
    for (std::string id; ids >> id;) {
        XWindow& w = windows.emplace_back(XWindow{id});
        std::istringstream shell(output("xdotool getwindowgeometry --shell " + id));
        for (std::string line; std::getline(shell, line);)
            for (auto [key, value] : {std::pair{"X=", &w.x}, {"Y=", &w.y}, {"WIDTH=", &w.width}, {"HEIGHT=", &w.height}})
                if (line.rfind(key, 0) == 0)
                    *value = std::atoi(line.c_str() + std::strlen(key));
    }
    return windows;
}

std::optional<XWindow> XvfbServer::popover() const {
    for (const XWindow& w : overlookWindows())
        if (w.width >= 300)
            return w;
    return std::nullopt;
}

int XvfbServer::popovers() const {
    const auto all = overlookWindows();
    return int(std::count_if(all.begin(), all.end(), [](const XWindow& w) { return w.width >= 300; }));
}

std::vector<XWindow> XvfbServer::trayIcons() const {
    auto icons = overlookWindows(false); // the tray's embedded window is not "visible"
    std::erase_if(icons, [](const XWindow& w) { return w.width <= 4 || w.width > 64 || w.height <= 4; });
    return icons;
}

bool XvfbServer::hasWindowNamed(const std::string& name) const {
    return !output("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null").empty();
}

pid_t XvfbServer::startTrayer() const {
    const pid_t pid = spawn("trayer --edge top --align left --margin 1200 --widthtype request --height 24", {{"DISPLAY", name_}});
    if (waitFor([&] { return !output("xdotool search --name '^panel$' 2>/dev/null").empty(); }))
        return pid;
    stop(pid);
    return -1;
}

} // namespace overlook::test
