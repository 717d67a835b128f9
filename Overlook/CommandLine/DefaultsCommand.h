#pragma once
// `overlook defaults read [KEY] | write KEY VALUE [--type TYPE] | delete KEY`:
// the application's settings from the command line.

#include <string>
#include <vector>

namespace overlook {

int runDefaultsCommand(const std::vector<std::string>& args);

} // namespace overlook
