#pragma once
// Commands that talk to the running tray application over the session bus, for
// window-manager key bindings and scripts: `overlook popover` and
// `overlook preferences`.

#include <string>
#include <vector>

namespace overlook {

int runPopoverCommand(const std::vector<std::string>& args);
int runPreferencesCommand(const std::vector<std::string>& args);

} // namespace overlook
