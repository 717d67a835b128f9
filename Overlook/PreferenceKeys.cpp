#include "Overlook/PreferenceKeys.h"

#include "Foundation/DefaultsStore.h"
#include "Foundation/Logger.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

namespace overlook {

namespace {

const Logger& log() {
    static const Logger logger(logs::kApplication, "Preferences");
    return logger;
}

// Views re-read their settings on every change, so a bad value is reported the
// first time it is seen, not at every read.
void reportReplaced(const std::string& key, const std::string& stored, const std::string& used) {
    static std::mutex mutex;
    static std::map<std::string, std::string> reported;
    {
        std::lock_guard lock(mutex);
        auto [it, fresh] = reported.try_emplace(key, stored);
        if (!fresh && it->second == stored)
            return;
        it->second = stored;
    }
    log().error("The stored setting \"%s\" is %s, which cannot be used; using %s instead", key.c_str(),
                stored.c_str(), used.c_str());
}

std::string text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string text(const GraphicsColor& c) {
    return "(" + text(c.red) + ", " + text(c.green) + ", " + text(c.blue) + ", " + text(c.alpha) + ")";
}

} // namespace

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

namespace overlook {

double effectiveScale(double stored) {
    if (streamQualityFromRawValue(stored))
        return stored;
    double used = rawValue(StreamQuality::quarter);
    // Between two offered resolutions the nearer one by ratio: 3 goes to 4 (a
    // factor 1.33) rather than to 2 (a factor 1.5).
    if (stored >= 1 && stored <= 8) {
        used = std::exp2(std::round(std::log2(stored)));
    }
    reportReplaced(Defaults::Keys::scale().name(), text(stored), text(used));
    return used;
}

double effectiveScale() { return effectiveScale(Defaults::Keys::scale().get()); }

double effectiveCrosshairWeight(double stored) {
    using namespace preferences;
    double used = std::isfinite(stored)
                      ? std::clamp(stored, double(kMinimumCrosshairWeight), double(kMaximumCrosshairWeight))
                      : Defaults::Keys::crosshairWeight().defaultValue();
    if (used != stored)
        reportReplaced(Defaults::Keys::crosshairWeight().name(), text(stored), text(used));
    return used;
}

double effectiveCrosshairWeight() { return effectiveCrosshairWeight(Defaults::Keys::crosshairWeight().get()); }

GraphicsColor effectiveCrosshairColor(const GraphicsColor& stored) {
    const auto components = stored.components();
    GraphicsColor used = defaultCrosshairColor();
    if (std::all_of(components.begin(), components.end(), [](double c) { return std::isfinite(c); })) {
        auto unit = [](double c) { return std::clamp(c, 0.0, 1.0); };
        used = GraphicsColor::genericRGB(unit(stored.red), unit(stored.green), unit(stored.blue), unit(stored.alpha));
    }
    if (!(used == stored))
        reportReplaced(Defaults::Keys::crosshairColor().name(), text(stored), text(used));
    return used;
}

GraphicsColor effectiveCrosshairColor() { return effectiveCrosshairColor(Defaults::Keys::crosshairColor().get()); }

bool effectiveDisplayCrosshair() { return Defaults::Keys::displayCrosshair().get(); }

const Defaults::Key<bool>& preferences::desaturationPausedStream() {
    static const Defaults::Key<bool> key(kDesaturationPausedStream, true, Defaults::unregisteredDefault);
    return key;
}

bool effectiveDesaturationPausedStream() { return preferences::desaturationPausedStream().get(); }

} // namespace overlook
