#pragma once
// A headless desktop session (scripts/virtual-gnome, scripts/virtual-kde) for one
// test, started and stopped by its script in a state folder of its own.

#include "tests/support/Processes.h"

#include <string>
#include <sys/types.h>

namespace overlook::test {

class DesktopSession {
public:
    // `desktop` names the script: "gnome" runs scripts/virtual-gnome, with `options`.
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
    // A process the script started ("pipewire", "kwin"...), by the PID it keeps.
    pid_t pid(const std::string& name) const;
    // Stores the consent the session granted (its OVERLOOK_<DESKTOP>_TOKEN) for every
    // display `overlook` (a command line, with its HOME) lists, as a dialog answered
    // once would have; how many displays, or -1.
    int storeConsent(const std::string& overlook) const;
    // Runs a shell command in the session (no DISPLAY); its exit status.
    int run(const std::string& command) const;
    // The standard output of the session's script run with `arguments`; `status`
    // gets its exit status.
    std::string script(const std::string& arguments, int* status = nullptr) const;

private:
    std::string prefix() const;
    std::string desktop_;
    ScratchFolder folder_;
    std::string environment_, variables_, failure_;
};

} // namespace overlook::test
