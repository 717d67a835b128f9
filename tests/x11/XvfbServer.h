#pragma once
// A private Xvfb for one test program: started on a free display number with
// RandR, stopped by PID. Monitors are laid out with xrandr --setmonitor.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace overlook::test {

struct XwdPicture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB
    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
};

// Reads the 32-bit ZPixmap dumps that `xwd` makes of a depth-24 screen.
std::optional<XwdPicture> readXwd(const std::string& path);

class XvfbServer {
public:
    // Starts Xvfb with one screen of width × height; check running(). Without shared
    // memory it has no MIT-SHM, as an X server on another machine.
    XvfbServer(int width, int height, bool sharedMemory = true);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; } // ":97"
    // Runs a shell command with DISPLAY set to this server; returns its exit status.
    int run(const std::string& command) const;
    // Runs a command and returns its standard output.
    std::string output(const std::string& command) const;
    // Sets monitors, each "NAME WxH+X+Y", the first primary and owning the output.
    void setMonitors(const std::vector<std::string>& monitors) const;
    // The server's own picture of a window ("-root" or "-id N") through xwd.
    std::optional<XwdPicture> dump(const std::string& target = "-root") const;
    // Fills a root rectangle with a colour (0xRRGGBB) through a small X client.
    void fill(int x, int y, int w, int h, unsigned rgb) const;

private:
    pid_t pid_ = -1;
    std::string name_;
};

} // namespace overlook::test
