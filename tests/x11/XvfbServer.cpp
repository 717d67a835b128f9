#include "XvfbServer.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace overlook::test {

namespace {
std::uint32_t big32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
} // namespace

std::optional<XwdPicture> readXwd(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.size() < 100)
        return std::nullopt;
    auto field = [&](int i) { return big32(bytes.data() + 4 * i); };
    const std::uint32_t headerSize = field(0), format = field(2), byteOrder = field(7), bpp = field(11),
                        bytesPerLine = field(12), colours = field(19);
    XwdPicture picture;
    picture.width = int(field(4));
    picture.height = int(field(5));
    const std::size_t data = headerSize + std::size_t(colours) * 12;
    if (format != 2 || bpp != 32 || bytes.size() < data + std::size_t(bytesPerLine) * picture.height)
        return std::nullopt;
    picture.pixels.reserve(std::size_t(picture.width) * picture.height);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const std::uint8_t* p = bytes.data() + data + std::size_t(y) * bytesPerLine + std::size_t(x) * 4;
            const std::uint32_t v = byteOrder == 0 ? (std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 |
                                                      std::uint32_t(p[1]) << 8 | p[0])
                                                   : big32(p);
            picture.pixels.push_back(v & 0xFFFFFFu);
        }
    return picture;
}

std::optional<XwdPicture> XvfbServer::dump(const std::string& target) const {
    char path[] = "/tmp/xvfb-dump-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return std::nullopt;
    close(fd);
    std::optional<XwdPicture> picture;
    if (run("xwd " + target + " -silent -out " + path) == 0)
        picture = readXwd(path);
    unlink(path);
    return picture;
}

XvfbServer::XvfbServer(int width, int height, bool sharedMemory) {
    // Xvfb picks a free display number itself and tells us through -displayfd: test
    // programs running side by side could otherwise pick the same number, and one
    // would take the other's server for its own.
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return;
    const std::string geometry = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_ = fork();
    if (pid_ == 0) {
        close(pipeFds[0]);
        (void)!freopen("/dev/null", "w", stderr); // quiet even if it fails
        const std::string fd = std::to_string(pipeFds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", geometry.c_str(), "-noreset",
               "+extension", "RANDR", sharedMemory ? "+extension" : "-extension", "MIT-SHM", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string number;
    char c;
    pollfd ready{pipeFds[0], POLLIN, 0};
    // The number arrives as a line once the server accepts connections.
    while (poll(&ready, 1, 10000) == 1 && read(pipeFds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(pipeFds[0]);
    if (number.empty() || pid_ < 0) {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        return;
    }
    name_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

int XvfbServer::run(const std::string& command) const {
    const std::string full = "DISPLAY=" + name_ + " " + command;
    const int status = std::system(full.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string XvfbServer::output(const std::string& command) const {
    const std::string full = "DISPLAY=" + name_ + " " + command;
    std::string out;
    if (FILE* pipe = popen(full.c_str(), "r")) {
        std::array<char, 4096> buffer;
        while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
            out.append(buffer.data(), n);
        pclose(pipe);
    }
    return out;
}

void XvfbServer::setMonitors(const std::vector<std::string>& monitors) const {
    // Remove what is there, then add: the first owns the output and is primary.
    std::istringstream list(output("xrandr --listmonitors"));
    std::string line;
    while (std::getline(list, line)) {
        const auto colon = line.find(": ");
        if (colon == std::string::npos || line.rfind("Monitors", 0) == 0)
            continue;
        std::string name = line.substr(colon + 2);
        name = name.substr(0, name.find(' '));
        while (!name.empty() && (name[0] == '*' || name[0] == '+'))
            name.erase(0, 1);
        run("xrandr --delmonitor " + name + " >/dev/null 2>&1");
    }
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        std::istringstream fields(monitors[i]);
        std::string name, geometry;
        fields >> name >> geometry;
        // WxH+X+Y → W/mmxH/mm+X+Y with 96 dpi millimetres
        int w, h, x, y;
        std::sscanf(geometry.c_str(), "%dx%d+%d+%d", &w, &h, &x, &y);
        std::ostringstream arg;
        arg << w << "/" << w * 254 / 960 << "x" << h << "/" << h * 254 / 960 << "+" << x << "+" << y;
        run("xrandr --setmonitor " + std::string(i == 0 ? "'*" : "'") + name + "' " + arg.str() + " " +
            (i == 0 ? "screen" : "none") + " >/dev/null 2>&1");
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
    const xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                            static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
    xcb_free_gc(c, gc);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // round trip: drawn
    xcb_disconnect(c);
}

} // namespace overlook::test
