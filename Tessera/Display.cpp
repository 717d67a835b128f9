#include "Display.h"

#include "Foundation/Logger.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>

namespace overlook {

namespace {
std::mutex gServiceMutex;
std::shared_ptr<DisplayQueryService> gService;
} // namespace

DisplayQueryService& displayQueryService() {
    auto service = sharedDisplayQueryService();
    if (!service) {
        std::fprintf(stderr, "overlook: no display service is installed\n");
        std::abort();
    }
    return *service;
}

std::shared_ptr<DisplayQueryService> sharedDisplayQueryService() {
    std::lock_guard lock(gServiceMutex);
    return gService;
}

void setDisplayQueryService(std::shared_ptr<DisplayQueryService> service) {
    std::lock_guard lock(gServiceMutex);
    gService = std::move(service);
}

const Logger& displayLog() {
    static const Logger log(logs::kEngine, "Display");
    return log;
}

std::int64_t truncateToInt64(double value) {
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) {
        std::fprintf(stderr, "overlook: %f cannot be converted to a 64-bit integer\n", value);
        std::abort();
    }
    return static_cast<std::int64_t>(value);
}

Display::Display(DisplayID displayID) : Display(displayID, displayQueryService()) {}

Display::Display(DisplayID displayID, DisplayQueryService& service) : id(displayID) {
    unitNumber = service.unitNumber(id);
    size = service.screenSizeMillimetres(id);
    rotation = service.rotation(id);
    isMain = service.isMain(id);
    isBuiltin = service.isBuiltin(id);
    bounds = service.bounds(id);

    const std::string fallbackName = "Unknown Screen " + std::to_string(unitNumber);
    for (const ScreenInfo& screen : service.screens()) {
        if (!screen.displayNumber || *screen.displayNumber < 0 ||
            *screen.displayNumber > static_cast<std::int64_t>(UINT32_MAX)) {
            std::fprintf(stderr, "overlook: a screen has no valid display number\n");
            std::abort();
        }
        if (static_cast<DisplayID>(*screen.displayNumber) != id)
            continue;
        localizedName = screen.localizedName.empty() ? fallbackName : screen.localizedName;
        screenFrame = screen.frame;
        return;
    }
    localizedName = fallbackName;
    screenFrame = bounds;
}

std::vector<Display> Display::activeDisplays() { return activeDisplays(displayQueryService()); }

std::vector<Display> Display::activeDisplays(DisplayQueryService& service) {
    std::vector<DisplayID> ids = service.activeDisplayList(kMaxDisplays);
    if (ids.size() > kMaxDisplays)
        ids.resize(kMaxDisplays);
    std::vector<Display> displays;
    displays.reserve(ids.size());
    for (DisplayID id : ids)
        displays.emplace_back(id, service);
    return displays;
}

Display Display::main() {
    auto& service = displayQueryService();
    return Display(service.mainDisplayID(), service);
}

std::string Display::iconName() const {
    const bool portrait = std::fmod(rotation / 90.0, 2.0) == 1.0;
    if (portrait)
        return isMain ? "rectangle.portrait.fill" : "rectangle.portrait";
    return isMain ? "rectangle.fill" : "rectangle";
}

FrameSurfacePtr Display::createImage() const {
    if (auto image = displayQueryService().createImage(id))
        return image;
    displayLog().error("Failed to create an image of display %s (%u)", localizedName.c_str(), id);
    const std::int64_t w = truncateToInt64(bounds.width);
    const std::int64_t h = truncateToInt64(bounds.height);
    if (w < 0 || h < 0 || w > INT32_MAX / 4 || h > INT32_MAX) {
        std::fprintf(stderr, "overlook: cannot make a %lld x %lld bitmap\n", static_cast<long long>(w),
                     static_cast<long long>(h));
        std::abort();
    }
    return FrameSurface::allocate(static_cast<int>(w), static_cast<int>(h));
}

bool operator==(const Display& a, const Display& b) {
    return a.id == b.id && a.unitNumber == b.unitNumber && a.localizedName == b.localizedName &&
           a.size == b.size && a.rotation == b.rotation && a.isMain == b.isMain &&
           a.isBuiltin == b.isBuiltin && a.bounds == b.bounds && a.screenFrame == b.screenFrame;
}

std::size_t hashValue(const Display& d) {
    std::size_t seed = 0;
    auto mix = [&seed](std::size_t v) { hashCombine(seed, v); };
    std::hash<double> hd;
    mix(std::hash<DisplayID>{}(d.id));
    mix(std::hash<std::int64_t>{}(d.unitNumber));
    mix(std::hash<std::string>{}(d.localizedName));
    mix(hd(d.size.width));
    mix(hd(d.size.height));
    mix(hd(d.rotation));
    mix(std::hash<bool>{}(d.isMain));
    mix(std::hash<bool>{}(d.isBuiltin));
    for (const Rect& r : {d.bounds, d.screenFrame}) {
        mix(hd(r.x));
        mix(hd(r.y));
        mix(hd(r.width));
        mix(hd(r.height));
    }
    return seed;
}

Rect displayMetrics(const std::vector<Display>& displays) {
    if (displays.empty()) {
        displayLog().error("Attempting to calculate display metrics for zero displays");
        return Rect::zero();
    }
    double minX = INFINITY, minY = INFINITY, maxX = 0, maxY = 0;
    for (const Display& d : displays) {
        const Rect& b = d.bounds;
        maxX = std::max(maxX, b.x + b.width);
        maxY = std::max(maxY, b.y + b.height);
        minX = std::min(minX, b.x);
        minY = std::min(minY, b.y);
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

const AffineTransform& flipVertical() {
    static const AffineTransform flip{1, 0, 0, -1, 0, 0};
    return flip;
}

} // namespace overlook
