// overlook-app: the tray application, and every command in one process (the
// toolkit's commands, such as preview, run here).
#include "Overlook/AppDelegate.h"
#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/CommandLine/Commands.h"
#include "Overlook/PreviewCommand.h"
#include "Overlook/PreferenceKeys.h"

#include <cstdio>

int main(int argc, char** argv) {
    try {
        overlook::installStandardDefaults();
    } catch (const overlook::SettingsLocationError& e) {
        // The tray application cannot run without its settings; commands that
        // need none still can, and the others report the same error.
        if (argc == 1) {
            std::fprintf(stderr, "overlook: %s\n", e.what());
            return 1;
        }
    }
    if (argc == 1)
        return overlook::runApplication(argc, argv);
    overlook::setPreviewRunner(&overlook::runPreviewCommand);
    return overlook::runOverlook(std::vector<std::string>(argv + 1, argv + argc));
}
