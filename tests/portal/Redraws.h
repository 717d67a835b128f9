#pragma once
// Redraws both outputs without a pixel changing: xdg-desktop-portal-wlr copies only changed
// outputs, and under load a first copy lost while PipeWire links would leave a stream waiting.

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
