#pragma once
// A private Xvfb with RandR on a free display number; monitors laid out with xrandr --setmonitor.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace overlook::test {

struct XPicture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB
    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
};

struct XWindow {
    std::string id;
    int x = 0, y = 0, width = 0, height = 0;
};

class XvfbServer {
public:
    // Without shared memory it has no MIT-SHM, as an X server on another machine.
    XvfbServer(int width, int height, bool sharedMemory = true);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; } // ":97"
    // A shell command on this server: its exit status, or its output.
    int run(const std::string& command) const;
    std::string output(const std::string& command) const;
    // Sets monitors, each "NAME WxH+X+Y", the first primary and owning the output.
    void setMonitors(const std::vector<std::string>& monitors) const;
    // The server's own picture of a window (xdotool's id), or of the root.
    std::optional<XPicture> dump(const std::string& window = "") const;
    // Fills a root rectangle with 0xRRGGBB.
    void fill(int x, int y, int w, int h, unsigned rgb) const;

    // The application's windows (WM_CLASS class "Overlook"), only the mapped ones when `visible`.
    std::vector<XWindow> overlookWindows(bool visible = true) const;
    // The popover: mapped and at least 300 wide.
    std::optional<XWindow> popover() const;
    int popovers() const;
    std::vector<XWindow> trayIcons() const;
    bool hasWindowNamed(const std::string& name) const;
    // trayer as the XEmbed tray, once its panel is there; -1 when it did not come.
    pid_t startTrayer() const;

private:
    pid_t pid_ = -1;
    std::string name_;
};

} // namespace overlook::test
