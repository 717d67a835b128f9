#include "Overlook/CommandLine/ControlCommands.h"

#include "ControlBus/ControlClient.h"
#include "Overlook/CommandLine/CommandLine.h"

#include <cstdio>

namespace overlook {

namespace {

int call(const std::string& method, control::Start start) {
    const control::CallResult result = control::callRunningInstance(method, start);
    if (result.ok)
        return 0;
    std::fprintf(stderr, "overlook: %s%s\n", result.noInstance ? "no running Overlook: " : "", result.error.c_str());
    return 1;
}

} // namespace

int runPopoverCommand(const std::vector<std::string>& args) {
    std::string method = "TogglePopover";
    for (OptionReader options(args); !options.done();) {
        const std::string name = options.next();
        if (name == "--toggle")
            method = "TogglePopover";
        else if (name == "--show")
            method = "ShowPopover";
        else if (name == "--hide")
            method = "HidePopover";
        else
            throw UsageError{"unknown option '" + name + "'"};
    }
    // Hiding needs no application; the others may have the bus start it.
    return call(method, method == "HidePopover" ? control::Start::Never : control::Start::IfNeeded);
}

int runPreferencesCommand(const std::vector<std::string>& args) {
    if (!args.empty())
        throw UsageError{"unexpected argument '" + args.front() + "'"};
    return call("ShowPreferences", control::Start::IfNeeded);
}

} // namespace overlook
