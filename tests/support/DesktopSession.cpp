#include "tests/support/DesktopSession.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <sys/wait.h>

namespace overlook::test {

DesktopSession::DesktopSession(const std::string& desktop, const std::string& options)
    : desktop_(desktop), folder_(desktop + "-session") {
    int status = 0;
    variables_ = shellOutput(prefix() + " start " + options + " 2>&1", &status);
    if (status != 0) {
        failure_ = variables_.empty() ? "scripts/virtual-" + desktop + " failed" : variables_;
        return;
    }
    std::istringstream lines(variables_);
    for (std::string line; std::getline(lines, line);)
        if (const auto eq = line.find('='); eq != std::string::npos)
            environment_ += line.substr(0, eq) + "='" + line.substr(eq + 1) + "' ";
}

DesktopSession::~DesktopSession() { (void)!std::system((prefix() + " stop").c_str()); }

std::string DesktopSession::variable(const std::string& name) const {
    std::istringstream lines(variables_);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, name.size() + 1, name + "=") == 0)
            return line.substr(name.size() + 1);
    return {};
}

pid_t DesktopSession::pid(const std::string& file) const { return pid_t(std::atoi(readFile(folder() / file).c_str())); }

int DesktopSession::storeConsent(const std::string& overlook) const {
    const std::string token = variable("OVERLOOK_" + upper() + "_TOKEN");
    const std::string displays = output(overlook + " displays --json");
    if (displays.empty() || token.empty())
        return -1;
    int n = 0;
    for (auto at = displays.find("\"id\": "); at != std::string::npos; at = displays.find("\"id\": ", at + 1), ++n)
        if (run(overlook + " defaults write portalRestoreToken." +
                displays.substr(at + 6, displays.find_first_of(",\n", at) - at - 6) + " " + token +
                " --type string >/dev/null") != 0)
            return -1;
    return n;
}

// Exported for the whole command line, pipes and lists included.
int DesktopSession::run(const std::string& command) const {
    const int status = std::system(("unset DISPLAY SWAYSOCK; export " + environment_ + "; " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DesktopSession::output(const std::string& command) const {
    return shellOutput("unset DISPLAY SWAYSOCK; export " + environment_ + "; " + command);
}

std::string DesktopSession::script(const std::string& arguments, int* status) const {
    return shellOutput(prefix() + " " + arguments, status);
}

std::string DesktopSession::addOutput(const std::string& geometry) const {
    std::string name = script("add-output " + geometry);
    return name.substr(0, name.find_last_not_of("\n ") + 1);
}

bool DesktopSession::removeOutput(const std::string& name) const {
    int status = -1;
    script("remove-output " + name, &status);
    return status == 0;
}

std::string DesktopSession::upper() const {
    std::string upper = desktop_;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return upper;
}

std::string DesktopSession::prefix() const {
    return "OVERLOOK_" + upper() + "_STATE='" + folder().string() + "' '" OVERLOOK_SOURCE_DIR "/scripts/virtual-" +
           desktop_ + "'";
}

} // namespace overlook::test
