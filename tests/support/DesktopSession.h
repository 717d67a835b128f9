#pragma once
// A headless desktop session run by scripts/virtual-<desktop> in a state folder of its own.

#include "tests/support/Processes.h"

#include <string>
#include <sys/types.h>

namespace overlook::test {

class DesktopSession {
public:
    // Options for "wayland": "--layout WxH+X+Y,...", "--nested", "--portal", "--tray".
    explicit DesktopSession(const std::string& desktop, const std::string& options = "");
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    bool running() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }
    // NAME='value' ... of every variable the script printed, for a shell command.
    const std::string& environment() const { return environment_; }
    std::string variable(const std::string& name) const;
    std::string socketPath() const { return variable("XDG_RUNTIME_DIR") + "/" + variable("WAYLAND_DISPLAY"); }
    // The script's folder for this session, and a PID it keeps there ("pid", "pipewire.pid").
    const std::filesystem::path& folder() const { return folder_.path(); }
    pid_t pid(const std::string& file) const;
    // Stores the session's granted consent for every display `overlook` (a command line) lists;
    // how many, or -1.
    int storeConsent(const std::string& overlook) const;
    // A shell command in the session (no DISPLAY): its exit status, or its standard output.
    int run(const std::string& command) const;
    std::string output(const std::string& command) const;
    bool swaymsg(const std::string& arguments) const { return run("swaymsg " + arguments + " >/dev/null") == 0; }
    std::string script(const std::string& arguments, int* status = nullptr) const;
    // Plugs in an output ("WxH+X+Y"): its name, or "". Only a --nested sway's unplug.
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
