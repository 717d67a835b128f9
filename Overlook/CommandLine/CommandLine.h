#pragma once
// The command line of the overlook program: `overlook COMMAND [OPTIONS]`.
// Each command parses its own options (see Commands.h); bad arguments print a
// usage message on standard error and exit with code 2.

#include "Overlook/Backend.h"

#include <optional>
#include <string>
#include <vector>

namespace overlook {

inline constexpr int kExitUsage = 2;

// Thrown by option parsing; the message says what was wrong.
struct UsageError {
    std::string message;
};

// Walks the options of one command. Options are "--name" or "--name VALUE" or
// "--name=VALUE".
class OptionReader {
public:
    explicit OptionReader(std::vector<std::string> args) : args_(std::move(args)) {}
    bool done() const { return index_ >= args_.size(); }
    // The next option's name ("--json"); throws for a stray positional argument
    // unless positionals are allowed.
    std::string next();
    // The value of the option just read (inline or the following argument).
    std::string value();
    // The next positional argument.
    std::optional<std::string> positional();

private:
    std::vector<std::string> args_;
    std::size_t index_ = 0;
    std::optional<std::string> inlineValue_;
    std::string current_;
};

// Parses a --backend value; throws UsageError for an unknown one.
BackendChoice backendOption(const std::string& value);
// Makes and installs the chosen (or default) back end; returns false after
// printing the error.
bool setUpBackend(const std::optional<BackendChoice>& choice, double fixtureFramesPerSecond = 30,
                  Capture capture = Capture::Needed);

std::string usageText();

// Runs the program; returns the exit code.
int runOverlook(const std::vector<std::string>& args);

} // namespace overlook
