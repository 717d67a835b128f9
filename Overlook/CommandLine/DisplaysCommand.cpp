#include "DisplaysCommand.h"

#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/CommandLine/Commands.h"

#include <cstdio>

#include <nlohmann/json.hpp>
#include <sstream>

namespace overlook {

namespace {
nlohmann::json rectJson(const Rect& r) {
    return {{"x", r.x}, {"y", r.y}, {"width", r.width}, {"height", r.height}};
}
} // namespace

std::string describeDisplays(const std::vector<Display>& displays) {
    std::ostringstream out;
    for (const Display& d : displays) {
        out << d.localizedName << " (id " << d.id << ", unit " << d.unitNumber << ")"
            << (d.isMain ? " main" : "") << (d.isBuiltin ? " built-in" : "") << "\n"
            << "  size: " << d.size.width << " x " << d.size.height << " mm\n"
            << "  rotation: " << d.rotation << "\n"
            << "  bounds: " << d.bounds << "\n"
            << "  screen frame: " << d.screenFrame << "\n";
    }
    if (displays.empty())
        out << "No active display\n";
    return out.str();
}

std::string displaysAsJson(const std::vector<Display>& displays) {
    nlohmann::json array = nlohmann::json::array();
    for (const Display& d : displays) {
        array.push_back({{"id", d.id},
                         {"unitNumber", d.unitNumber},
                         {"localizedName", d.localizedName},
                         {"size", {{"width", d.size.width}, {"height", d.size.height}}},
                         {"rotation", d.rotation},
                         {"isMain", d.isMain},
                         {"isBuiltin", d.isBuiltin},
                         {"bounds", rectJson(d.bounds)},
                         {"screenFrame", rectJson(d.screenFrame)}});
    }
    return array.dump(2) + "\n";
}

int runDisplaysCommand(const std::vector<std::string>& args) {
    bool json = false;
    std::optional<BackendChoice> backend;
    for (OptionReader options(args); !options.done();) {
        const std::string name = options.next();
        if (name == "--json")
            json = true;
        else if (name == "--backend")
            backend = backendOption(options.value());
        else
            throw UsageError{"unknown option '" + name + "'"};
    }
    if (!setUpBackend(backend, 30, Capture::NotNeeded))
        return 1;
    const auto displays = Display::activeDisplays();
    std::fputs((json ? displaysAsJson(displays) : describeDisplays(displays)).c_str(), stdout);
    return 0;
}

} // namespace overlook
