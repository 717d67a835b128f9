// overlook-app: the tray application, and every command in one process (the
// toolkit's commands, such as preview, run here).
#include "Overlook/AppDelegate.h"
#include "Overlook/CommandLine.h"
#include "Overlook/Commands.h"
#include "Overlook/PreviewCommand.h"
#include "Overlook/PreferenceKeys.h"

int main(int argc, char** argv) {
    if (argc == 1)
        return overlook::runApplication(argc, argv);
    overlook::setPreviewRunner(&overlook::runPreviewCommand);
    overlook::installStandardDefaults();
    return overlook::runOverlook(std::vector<std::string>(argv + 1, argv + argc));
}
