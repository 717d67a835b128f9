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

// The preview draws with the toolkit, which the command-line program does not
// load: each program installs how it runs the preview (in process, or by handing
// over to the application program).
using CommandRunner = int (*)(const std::vector<std::string>& args);
void setPreviewRunner(CommandRunner runner);

// Every subcommand, in the order the usage text lists them.
const std::vector<CommandEntry>& commands();

} // namespace overlook
