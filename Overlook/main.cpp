#include "Overlook/CommandLine.h"
#include "Overlook/PreferenceKeys.h"

int main(int argc, char** argv) {
    overlook::installStandardDefaults();
    return overlook::runOverlook(std::vector<std::string>(argv + 1, argv + argc));
}
