#pragma once
// The subcommands. Each takes the arguments after its name, returns the exit code
// and throws UsageError for arguments it does not understand.

#include <string>
#include <vector>

namespace overlook {

int runDisplaysCommand(const std::vector<std::string>& args);

struct CommandEntry {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
    const char* usage; // one or more lines, each starting with "overlook NAME"
};

// Every subcommand, in the order the usage text lists them.
const std::vector<CommandEntry>& commands();

} // namespace overlook
