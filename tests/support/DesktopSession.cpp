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

pid_t DesktopSession::pid(const std::string& name) const {
    return pid_t(std::atoi(readFile(folder_ / (name + ".pid")).c_str()));
}

int DesktopSession::storeConsent(const std::string& overlook) const {
    std::string upper = desktop_;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    const std::string token = variable("OVERLOOK_" + upper + "_TOKEN");
    int status = 0;
    const std::string displays = shellOutput("env -u DISPLAY " + environment_ + overlook + " displays --json", &status);
    if (status != 0 || token.empty())
        return -1;
    int n = 0;
    for (auto at = displays.find("\"id\": "); at != std::string::npos; at = displays.find("\"id\": ", at + 1), ++n)
        if (run(overlook + " defaults write portalRestoreToken." +
                displays.substr(at + 6, displays.find_first_of(",\n", at) - at - 6) + " " + token +
                " --type string >/dev/null") != 0)
            return -1;
    return n;
}

int DesktopSession::run(const std::string& command) const {
    const int status = std::system(("env -u DISPLAY -u SWAYSOCK " + environment_ + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DesktopSession::script(const std::string& arguments, int* status) const {
    return shellOutput(prefix() + " " + arguments, status);
}

std::string DesktopSession::prefix() const {
    std::string upper = desktop_;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return "OVERLOOK_" + upper + "_STATE='" + folder_.path().string() + "' '" OVERLOOK_SOURCE_DIR "/scripts/virtual-" +
           desktop_ + "'";
}

} // namespace overlook::test
