#pragma once
// A colour as the renderer takes it: generic RGB components and alpha, each 0...1,
// and the settings-store bridge that keeps it as its list of components.

#include "Tessera/Color.h"
#include "settings_store/Defaults.h"

#include <optional>
#include <vector>

namespace overlook {

struct GraphicsColor {
    double red = 0, green = 0, blue = 0, alpha = 1;

    static GraphicsColor genericRGB(double red, double green, double blue, double alpha = 1.0) {
        return {red, green, blue, alpha};
    }
    std::vector<double> components() const { return {red, green, blue, alpha}; }
    // The same colour as the renderer takes it.
    Color rendererColor() const { return {red, green, blue, alpha}; }
    bool operator==(const GraphicsColor&) const = default;
};

// Stored form: the array of the colour's components. Reading wants at least three
// numbers (red, green, blue); alpha is the fourth when there are exactly four.
struct ColorBridge {
    using Value = GraphicsColor;
    static std::optional<PropertyList> serialize(const GraphicsColor& color);
    static std::optional<GraphicsColor> deserialize(const PropertyList& stored);
};

template <>
struct Defaults::Serializable<GraphicsColor> : Defaults::BridgedBy<::overlook::ColorBridge> {};

} // namespace overlook
