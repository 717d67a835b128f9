#pragma once
// Our windows as sway has them: read from `swaymsg -t get_tree`.

#include "tests/support/DesktopSession.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace overlook::test {

struct SwayWindow {
    std::string title;
    bool floating = false;
    int x = 0, y = 0, width = 0, height = 0;
};

// Every window with our app id ("overlook").
inline std::vector<SwayWindow> overlookWindows(const DesktopSession& sway) {
    std::vector<SwayWindow> windows;
    const std::string tree = sway.output("swaymsg -t get_tree -r");
    if (tree.empty())
        return windows;
    std::function<void(const nlohmann::json&, bool)> walk = [&](const nlohmann::json& node, bool floating) {
        if (node.value("app_id", nlohmann::json()).is_string() && node["app_id"] == "overlook") {
            const auto& r = node["rect"];
            windows.push_back({node.value("name", ""), floating, r["x"], r["y"], r["width"], r["height"]});
        }
        for (const auto& child : node.value("nodes", nlohmann::json::array()))
            walk(child, floating);
        for (const auto& child : node.value("floating_nodes", nlohmann::json::array()))
            walk(child, true);
    };
    walk(nlohmann::json::parse(tree), false);
    return windows;
}

} // namespace overlook::test
