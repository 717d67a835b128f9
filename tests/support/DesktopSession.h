#pragma once
// A headless desktop session (scripts/virtual-wayland, virtual-gnome, virtual-kde) for
// one test, started and stopped by its script in a state folder of its own.

#include "tests/support/Processes.h"

#include <string>
#include <sys/types.h>

namespace overlook::test {

class DesktopSession {
public:
    // `desktop` names the script: "gnome" runs scripts/virtual-gnome, with `options`
    // ("--layout WxH+X+Y,...", "--nested", "--portal", "--tray" for "wayland").
    explicit DesktopSession(const std::string& desktop, const std::string& options = "");
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    bool running() const { return failure_.empty(); }
    // What the script said when it could not start the session.
    const std::string& failure() const { return failure_; }
    // NAME='value' ... of every variable the script printed, for a shell command.
    const std::string& environment() const { return environment_; }
    std::string variable(const std::string& name) const;
    // The compositor's socket as an absolute path (wl_display_connect takes it).
    std::string socketPath() const { return variable("XDG_RUNTIME_DIR") + "/" + variable("WAYLAND_DISPLAY"); }
    // The script's folder for this session, and a PID it keeps there ("pid", "pipewire.pid").
    const std::filesystem::path& folder() const { return folder_.path(); }
    pid_t pid(const std::string& file) const;
    // Stores the consent the session granted (its OVERLOOK_<DESKTOP>_TOKEN) for every
    // display `overlook` (a command line, with its HOME) lists, as a dialog answered
    // once would have; how many displays, or -1.
    int storeConsent(const std::string& overlook) const;
    // A shell command in the session (no DISPLAY): its exit status, or its standard output.
    int run(const std::string& command) const;
    std::string output(const std::string& command) const;
    bool swaymsg(const std::string& arguments) const { return run("swaymsg " + arguments + " >/dev/null") == 0; }
    // The standard output of the session's script run with `arguments`; `status`
    // gets its exit status.
    std::string script(const std::string& arguments, int* status = nullptr) const;
    // Plugs in an output ("WxH+X+Y") and returns its name, "" on failure; unplugs one
    // (a --nested sway's).
    std::string addOutput(const std::string& geometry) const;
    bool removeOutput(const std::string& name) const;

private:
    std::string upper() const;
    std::string prefix() const;
    std::string desktop_;
    ScratchFolder folder_;
    std::string environment_, variables_, failure_;
};

} // namespace overlook::test
