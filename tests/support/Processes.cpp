#include "tests/support/Processes.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace overlook::test {

namespace {

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    if (value && !value->empty())
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

} // namespace

ScratchFolder::ScratchFolder(const std::string& purpose) {
    std::string pattern = "/tmp/overlook-" + purpose + "-XXXXXX";
    if (mkdtemp(pattern.data()))
        path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    if (!path_.empty())
        fs::remove_all(path_);
}

ScopedEnvironment::ScopedEnvironment(const std::map<std::string, std::string>& variables) {
    for (const auto& [name, value] : variables) {
        const char* old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        setEnvironment(name, value);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : saved_)
        setEnvironment(name, value);
}

pid_t spawn(const std::string& command, const std::map<std::string, std::string>& environment, const fs::path& log) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : environment)
            setEnvironment(name, value);
        const std::string to = log.empty() ? "/dev/null" : log.string();
        if (!freopen(to.c_str(), "w", stdout) || !freopen(to.c_str(), "a", stderr))
            _exit(126);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid > 0 && kill(pid, SIGTERM) == 0)
        waitpid(pid, nullptr, 0);
}

int exitStatusWithin(pid_t pid, int limitMs) {
    int status = 0;
    if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limitMs))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string shellOutput(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int code = pipe ? pclose(pipe) : -1;
    if (status)
        *status = code != -1 && WIFEXITED(code) ? WEXITSTATUS(code) : -1;
    return out;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int occurrences(const std::string& text, const std::string& word) {
    int n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

} // namespace overlook::test
