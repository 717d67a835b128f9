// overlook: the command line. Without arguments it starts the tray application.
#include "Overlook/CommandLine/AppLauncher.h"
#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/CommandLine/Commands.h"
#include "Overlook/PreferenceKeys.h"

int main(int argc, char** argv) {
    if (argc == 1)
        return overlook::runApplicationProgram({});
    overlook::setPreviewRunner(&overlook::runPreviewInApplicationProgram);
    try {
        overlook::installStandardDefaults();
    } catch (const overlook::SettingsLocationError&) {
        // Commands that need no settings still run; the others meet the same error
        // and report it.
    }
    return overlook::runOverlook(std::vector<std::string>(argv + 1, argv + argc));
}
