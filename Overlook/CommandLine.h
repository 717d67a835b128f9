#pragma once
// The command line of the overlook program.

#include "Overlook/Backend.h"

#include <optional>
#include <string>
#include <vector>

namespace overlook {

struct CommandLine {
    enum class Command { Displays, Help, Version } command = Command::Help;
    bool json = false;
    std::optional<BackendChoice> backend;
};

struct ParseResult {
    std::optional<CommandLine> commandLine;
    std::string error; // set when the arguments are not understood
};

ParseResult parseCommandLine(const std::vector<std::string>& args);
std::string usageText();

// Runs the program; returns the exit code.
int runOverlook(const std::vector<std::string>& args);

} // namespace overlook
