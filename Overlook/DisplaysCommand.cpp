#include "DisplaysCommand.h"

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

} // namespace overlook
