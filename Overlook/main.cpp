#include "Overlook/AppDelegate.h"
#include "Overlook/CommandLine.h"
#include "Overlook/PreferenceKeys.h"

int main(int argc, char** argv) {
    // No arguments: the tray application; anything else is a command.
    if (argc == 1)
        return overlook::runApplication(argc, argv);
    overlook::installStandardDefaults();
    return overlook::runOverlook(std::vector<std::string>(argv + 1, argv + argc));
}
