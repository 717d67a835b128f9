#include "Outputs.h"

#include <algorithm>
#include <tuple>

namespace overlook::wayland {

const Output* OutputLayout::find(DisplayID id) const {
    for (const auto& o : outputs)
        if (o.id == id)
            return &o;
    return nullptr;
}

const Output* OutputLayout::main() const {
    const Output* best = nullptr;
    for (const auto& o : outputs) {
        if (o.logical.x == 0 && o.logical.y == 0)
            return &o;
        if (!best || std::tie(o.logical.x, o.logical.y) < std::tie(best->logical.x, best->logical.y))
            best = &o;
    }
    return best;
}

Rect OutputLayout::bounds(const Output& o) const {
    const Output* origin = main();
    return o.logical.offsetBy(-origin->logical.x, -origin->logical.y);
}

Rect OutputLayout::screenFrame(const Output& o) const {
    const Rect b = bounds(o);
    return {b.x, main()->logical.height - (b.y + b.height), b.width, b.height};
}

std::string outputName(const std::string& wlOutputName, const std::string& xdgOutputName, std::uint32_t global) {
    if (!wlOutputName.empty())
        return wlOutputName;
    return !xdgOutputName.empty() ? xdgOutputName : "wl_output-" + std::to_string(global);
}

DisplayID outputId(const std::string& name, const std::string& make, const std::string& model) {
    std::uint32_t h = 2166136261u; // FNV-1a over the fields, each ended by a zero byte
    for (const std::string* field : {&name, &make, &model}) {
        for (unsigned char ch : *field) {
            h ^= ch;
            h *= 16777619u;
        }
        h *= 16777619u;
    }
    return h == 0 ? 1 : h; // 0 means "no display" to the engine
}

double rotationDegrees(int transform) {
    static constexpr double degrees[] = {0, 90, 180, 270};
    return degrees[transform & 3];
}

std::vector<DisplayID> changedOutputs(const OutputLayout& before, const OutputLayout& after) {
    std::vector<DisplayID> changed;
    for (const Output& old : before.outputs) {
        const Output* now = after.find(old.id);
        if (!now || !(old == *now) || before.bounds(old) != after.bounds(*now) ||
            (before.main() == &old) != (after.main() == now))
            changed.push_back(old.id);
    }
    for (const Output& now : after.outputs)
        if (!before.find(now.id))
            changed.push_back(now.id);
    return changed;
}

} // namespace overlook::wayland
