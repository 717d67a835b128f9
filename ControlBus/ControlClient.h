#pragma once
// Calls the running application over the session bus, without the toolkit: the
// command line's `overlook popover` and `overlook preferences` are what window-
// manager key bindings run, so they must be quick and load no Qt.

#include <string>

namespace overlook::control {

enum class Start {
    IfNeeded, // the bus may start the application (its service file is installed)
    Never,    // only a running instance: hiding a popover is no reason to start one
};

struct CallResult {
    bool ok = false;
    // Why the call failed, for "overlook: no running Overlook: <error>" when
    // `noInstance`, else "overlook: <error>".
    std::string error;
    bool noInstance = false;
};

// Calls `method` (no arguments, no reply value) of the interface in ControlBus.h.
CallResult callRunningInstance(const std::string& method, Start start);

} // namespace overlook::control
