#pragma once
// A private headless sway for one test, started and stopped with
// scripts/virtual-wayland in a state folder of its own.

#include <string>

namespace overlook::test {

class SwaySession {
public:
    enum class Kind { Headless, Nested };
    // Starts sway with the script's layout ("" for its default two outputs). A nested
    // session's outputs are WL-1, WL-2, ... and can be removed.
    // `options` go to the script as they are ("--portal", "--tray").
    explicit SwaySession(const std::string& layout = "", Kind kind = Kind::Headless, const std::string& options = "");
    ~SwaySession();
    SwaySession(const SwaySession&) = delete;
    SwaySession& operator=(const SwaySession&) = delete;

    bool running() const { return !socketPath_.empty(); }
    // The compositor's socket as an absolute path (wl_display_connect takes it).
    const std::string& socketPath() const { return socketPath_; }
    // "XDG_RUNTIME_DIR=... WAYLAND_DISPLAY=... SWAYSOCK=..." (and the session bus's
    // address with --portal) for a shell command.
    const std::string& environment() const { return environment_; }
    // Runs a shell command in the session (DISPLAY unset); returns its exit status.
    int run(const std::string& command) const;
    // Runs a command in the session and returns its standard output.
    std::string output(const std::string& command) const;
    // swaymsg with the given arguments; true when it succeeded.
    bool swaymsg(const std::string& arguments) const;
    // Adds an output ("WxH+X+Y") and returns its name, "" on failure.
    std::string addOutput(const std::string& geometry) const;
    // Unplugs an output of a nested session; true when it is gone.
    bool removeOutput(const std::string& name) const;
    // Kills the compositor at once (as a crash would).
    void kill();
    // The script's folder for this session (the portal's choices file is in it).
    const std::string& stateFolder() const { return state_; }

private:
    std::string state_, script_, socketPath_, environment_;
    int pid_ = -1;
};

} // namespace overlook::test
