#pragma once
// Keeps the two outputs of a test session being redrawn without a pixel changing:
// each is switched to an empty workspace and back five times a second.
// xdg-desktop-portal-wlr copies an output only once it changed, and under load its
// first copy can be lost while PipeWire links the stream; a real desktop changes all
// the time, a headless one never, and its stream would wait for ever.

#include "tests/support/Processes.h"
#include "tests/support/DesktopSession.h"

namespace overlook::test {

class Redraws {
public:
    Redraws(const DesktopSession& sway, const std::string& first, const std::string& second)
        : pid_(spawn("env " + sway.environment() + " sh -c 'while :; do swaymsg \"focus output " + first +
                         ", workspace 11, workspace 1, focus output " + second +
                         ", workspace 12, workspace 2\" >/dev/null; sleep 0.2; done'",
                     {})) {}
    ~Redraws() { stop(pid_); }
    Redraws(const Redraws&) = delete;
    Redraws& operator=(const Redraws&) = delete;

private:
    pid_t pid_;
};

} // namespace overlook::test
