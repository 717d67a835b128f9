#include "SwaySession.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace overlook::test {

namespace {
std::string capture(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        std::array<char, 4096> buffer;
        std::size_t n;
        while ((n = fread(buffer.data(), 1, buffer.size(), p)) > 0)
            out.append(buffer.data(), n);
        pclose(p);
    }
    return out;
}
} // namespace

SwaySession::SwaySession(const std::string& layout, Kind kind, const std::string& options) : script_(OVERLOOK_SOURCE_DIR "/scripts/virtual-wayland") {
    char dir[] = "/tmp/overlook-sway-XXXXXX";
    if (!mkdtemp(dir))
        return;
    state_ = dir;
    const std::string vars = capture("OVERLOOK_WAYLAND_STATE='" + state_ + "' '" + script_ + "' start" +
                                     (layout.empty() ? "" : " --layout '" + layout + "'") +
                                     (kind == Kind::Nested ? " --nested" : "") + " " + options + " 2>&1");
    std::istringstream lines(vars);
    std::string line, runtime, socket;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "XDG_RUNTIME_DIR")
            runtime = value;
        else if (key == "WAYLAND_DISPLAY")
            socket = value;
        environment_ += key + "='" + value + "' ";
    }
    if (runtime.empty() || socket.empty()) {
        std::fprintf(stderr, "SwaySession: the session did not start:\n%s\n", vars.c_str());
        return;
    }
    socketPath_ = runtime + "/" + socket;
    std::ifstream pidFile(state_ + "/pid");
    pidFile >> pid_;
}

SwaySession::~SwaySession() {
    if (!state_.empty()) {
        (void)!std::system(("OVERLOOK_WAYLAND_STATE='" + state_ + "' '" + script_ + "' stop").c_str());
        std::filesystem::remove_all(state_);
    }
}

int SwaySession::run(const std::string& command) const {
    const std::string full = "env -u DISPLAY " + environment_ + " sh -c '" + [&] {
        std::string quoted;
        for (char c : command)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted;
    }() + "'";
    const int status = std::system(full.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SwaySession::output(const std::string& command) const {
    return capture("env -u DISPLAY " + environment_ + " " + command);
}

bool SwaySession::swaymsg(const std::string& arguments) const {
    return run("swaymsg " + arguments + " >/dev/null") == 0;
}

std::string SwaySession::addOutput(const std::string& geometry) const {
    std::string name = capture("OVERLOOK_WAYLAND_STATE='" + state_ + "' '" + script_ + "' add-output " + geometry);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    return name;
}

bool SwaySession::removeOutput(const std::string& name) const {
    return std::system(("OVERLOOK_WAYLAND_STATE='" + state_ + "' '" + script_ + "' remove-output " + name).c_str()) == 0;
}

void SwaySession::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        for (int i = 0; i < 50 && ::kill(pid_, 0) == 0; ++i)
            usleep(20000);
    }
}

} // namespace overlook::test
