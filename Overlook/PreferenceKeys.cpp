#include "Overlook/PreferenceKeys.h"

#include "Foundation/DefaultsStore.h"

namespace overlook {

std::optional<PropertyList> ColorBridge::serialize(const GraphicsColor& color) {
    PropertyList::Array numbers;
    for (double c : color.components())
        numbers.emplace_back(c);
    return PropertyList(std::move(numbers));
}

std::optional<GraphicsColor> ColorBridge::deserialize(const PropertyList& stored) {
    const auto* items = stored.get<PropertyList::Array>();
    if (!items)
        return std::nullopt;
    std::vector<double> numbers;
    for (const auto& item : *items) {
        if (auto* r = item.get<double>())
            numbers.push_back(*r);
        else if (auto* i = item.get<std::int64_t>())
            numbers.push_back(static_cast<double>(*i));
        else
            return std::nullopt;
    }
    if (numbers.size() < 3)
        return std::nullopt;
    return GraphicsColor::genericRGB(numbers[0], numbers[1], numbers[2], numbers.size() == 4 ? numbers[3] : 1.0);
}

GraphicsColor defaultCrosshairColor() { return GraphicsColor::genericRGB(1.0, 200.0 / 255.0, 30.0 / 255.0, 1.0); }

namespace Defaults::Keys {
const Key<bool>& displayCrosshair() {
    static const Key<bool> key("displayCrosshair", true);
    return key;
}
const Key<double>& scale() {
    static const Key<double> key("scale", rawValue(StreamQuality::quarter));
    return key;
}
const Key<GraphicsColor>& crosshairColor() {
    static const Key<GraphicsColor> key("crosshairColor", defaultCrosshairColor());
    return key;
}
const Key<double>& crosshairWeight() {
    static const Key<double> key("crosshairWeight", 2.0);
    return key;
}
} // namespace Defaults::Keys

void installStandardDefaults() {
    Defaults::Keys::displayCrosshair();
    Defaults::Keys::scale();
    Defaults::Keys::crosshairColor();
    Defaults::Keys::crosshairWeight();
    setStandardDefaultsStore(UserDefaults::standard());
}

} // namespace overlook
