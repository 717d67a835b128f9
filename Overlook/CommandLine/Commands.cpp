#include "Overlook/CommandLine/Commands.h"

#include "Overlook/CommandLine/ControlCommands.h"
#include "Overlook/CommandLine/DefaultsCommand.h"
#include "Overlook/CommandLine/ScreenshotCommand.h"

#include <cstdio>

namespace overlook {

namespace {
CommandRunner gPreviewRunner = nullptr;

int runPreview(const std::vector<std::string>& args) {
    if (!gPreviewRunner) {
        std::fprintf(stderr, "overlook: this program cannot draw previews\n");
        return 1;
    }
    return gPreviewRunner(args);
}
} // namespace

void setPreviewRunner(CommandRunner runner) { gPreviewRunner = runner; }

const std::vector<CommandEntry>& commands() {
    static const std::vector<CommandEntry> list = {
        {"displays", runDisplaysCommand,
         "overlook displays [--json] [--backend x11|wayland|portal|fixture[=FILE]]\n"
         "    print the attached displays (--json: as a JSON array)\n"},
        {"screenshot", runScreenshotCommand,
         "overlook screenshot [--output FILE] [--backend ...]\n"
         "    save a PNG of all displays as arranged; without --output it goes to the desktop folder as\n"
         "    \"Screen Shot <date> at <time>.png\" (an existing file is never replaced)\n"},
        {"defaults", runDefaultsCommand,
         "overlook defaults read [KEY] | write KEY VALUE [--type bool|int|float|string] | delete KEY\n"
         "    show or change the settings (VALUE is a string unless --type says otherwise)\n"},
        {"preview", runPreview,
         "overlook preview --output FILE [--scale 1|2|4|8] [--frames N] [--size WxH] [--backend ...]\n"
         "    capture every display, compose the live picture off screen and write it as PNG\n"},
        {"popover", runPopoverCommand,
         "overlook popover [--toggle|--show|--hide]\n"
         "    open or close the popover of the running Overlook (default --toggle), e.g. from a key binding;\n"
         "    where Overlook is installed the session bus starts it first if it is not running\n"},
        {"preferences", runPreferencesCommand,
         "overlook preferences\n"
         "    open the preferences window of the running Overlook\n"},
    };
    return list;
}

} // namespace overlook
