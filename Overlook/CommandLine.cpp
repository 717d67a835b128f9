#include "CommandLine.h"

#include "Overlook/DisplaysCommand.h"

#include <cstdio>

namespace overlook {

std::string usageText() {
    return "usage: overlook displays [--json] [--backend x11|fixture[=FILE]]\n"
           "       overlook --help | --version\n"
           "\n"
           "  displays        print the attached displays (--json: as a JSON array)\n"
           "  --backend       the display back end (default: X11 when DISPLAY is set,\n"
           "                  else the fixture; OVERLOOK_BACKEND sets it too)\n";
}

ParseResult parseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    std::size_t i = 0;
    if (args.empty())
        return {std::nullopt, "a command is required"};
    const std::string& first = args[0];
    if (first == "--help" || first == "-h") {
        cl.command = CommandLine::Command::Help;
        return {cl, {}};
    }
    if (first == "--version") {
        cl.command = CommandLine::Command::Version;
        return {cl, {}};
    }
    if (first != "displays")
        return {std::nullopt, "unknown command '" + first + "'"};
    cl.command = CommandLine::Command::Displays;
    for (i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            cl.json = true;
        } else if (a == "--backend" || a.rfind("--backend=", 0) == 0) {
            std::string value;
            if (a == "--backend") {
                if (i + 1 >= args.size())
                    return {std::nullopt, "--backend needs a value"};
                value = args[++i];
            } else {
                value = a.substr(10);
            }
            cl.backend = parseBackend(value);
            if (!cl.backend)
                return {std::nullopt, "unknown back end '" + value + "'"};
        } else {
            return {std::nullopt, "unknown option '" + a + "'"};
        }
    }
    return {cl, {}};
}

int runOverlook(const std::vector<std::string>& args) {
    ParseResult parsed = parseCommandLine(args);
    if (!parsed.commandLine) {
        std::fprintf(stderr, "overlook: %s\n%s", parsed.error.c_str(), usageText().c_str());
        return 2;
    }
    const CommandLine& cl = *parsed.commandLine;
    switch (cl.command) {
    case CommandLine::Command::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    case CommandLine::Command::Version:
        std::printf("overlook %s\n", OVERLOOK_VERSION);
        return 0;
    case CommandLine::Command::Displays: break;
    }

    BackendResult made = makeBackend(cl.backend.value_or(defaultBackend()));
    if (!made.backend) {
        std::fprintf(stderr, "overlook: %s\n", made.error.c_str());
        return 1;
    }
    installBackend(*made.backend);
    const auto displays = Display::activeDisplays();
    const std::string text = cl.json ? displaysAsJson(displays) : describeDisplays(displays);
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace overlook
