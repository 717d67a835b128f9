#include "Overlook/CommandLine.h"

int main(int argc, char** argv) {
    return overlook::runOverlook(std::vector<std::string>(argv + 1, argv + argc));
}
