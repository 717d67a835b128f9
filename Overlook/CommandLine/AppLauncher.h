#pragma once
// The command-line program hands the toolkit's work to the application program.

#include <string>
#include <vector>

namespace overlook {

// Replaces this process with `overlook-app` and the given arguments; returns only
// when that fails (after saying why), with exit code 1.
int runApplicationProgram(const std::vector<std::string>& args);

// `overlook preview ARGS` run as `overlook-app preview ARGS`.
int runPreviewInApplicationProgram(const std::vector<std::string>& args);

} // namespace overlook
