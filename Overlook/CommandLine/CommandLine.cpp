#include "CommandLine.h"

#include "Overlook/CommandLine/Commands.h"
#include "settings_store/UserDefaults.h"

#include <cstdio>
#include <utility>

namespace overlook {

std::string OptionReader::next() {
    inlineValue_.reset();
    const std::string& arg = args_.at(index_++);
    if (arg.rfind("--", 0) != 0 || arg.size() < 3)
        throw UsageError{"unexpected argument '" + arg + "'"};
    if (auto eq = arg.find('='); eq != std::string::npos) {
        current_ = arg.substr(0, eq);
        inlineValue_ = arg.substr(eq + 1);
    } else {
        current_ = arg;
    }
    return current_;
}

std::string OptionReader::value() {
    if (inlineValue_)
        return *std::exchange(inlineValue_, std::nullopt);
    if (done())
        throw UsageError{current_ + " needs a value"};
    return args_[index_++];
}

std::optional<std::string> OptionReader::positional() {
    if (done() || args_[index_].rfind("--", 0) == 0)
        return std::nullopt;
    return args_[index_++];
}

BackendChoice backendOption(const std::string& value) {
    auto choice = parseBackend(value);
    if (!choice)
        throw UsageError{"unknown back end '" + value + "'"};
    return *choice;
}

bool setUpBackend(const std::optional<BackendChoice>& choice, double fixtureFramesPerSecond, Capture capture) {
    BackendResult made = makeBackend(choice.value_or(defaultBackend()), fixtureFramesPerSecond, capture);
    if (!made.backend) {
        std::fprintf(stderr, "overlook: %s\n", made.error.c_str());
        return false;
    }
    installBackend(*made.backend);
    return true;
}

std::string usageText() {
    std::string text = "usage:\n"
                       "overlook\n"
                       "    start the tray application (plain `overlook`, as the launcher and the login entry do);\n"
                       "    when it runs already, its popover opens instead\n";
    for (const auto& c : commands())
        text += std::string(c.usage);
    text += "overlook --help | --version\n"
            "\n"
            "--backend chooses the display back end (default: Wayland when WAYLAND_DISPLAY is set,\n"
            "else X11 when DISPLAY is set; the fixture only when asked for); OVERLOOK_BACKEND sets it too.\n"
            "On Wayland, portal captures through the desktop portal and PipeWire (with the desktop's consent),\n"
            "as wayland does where the compositor offers no wlroots screen copy.\n";
    return text;
}

int runOverlook(const std::vector<std::string>& args) {
    try {
        if (args.empty())
            throw UsageError{"a command is required"};
        const std::string& name = args[0];
        if (name == "--help" || name == "-h") {
            std::fputs(usageText().c_str(), stdout);
            return 0;
        }
        if (name == "--version") {
            std::printf("overlook %s\n", OVERLOOK_VERSION);
            return 0;
        }
        for (const auto& c : commands())
            if (name == c.name)
                return c.run(std::vector<std::string>(args.begin() + 1, args.end()));
        throw UsageError{"unknown command '" + name + "'"};
    } catch (const UsageError& e) {
        std::fprintf(stderr, "overlook: %s\n%s", e.message.c_str(), usageText().c_str());
        return kExitUsage;
    } catch (const SettingsLocationError& e) {
        std::fprintf(stderr, "overlook: %s\n", e.what());
        return 1;
    }
}

} // namespace overlook
