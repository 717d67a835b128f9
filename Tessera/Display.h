#pragma once
// The immutable record of one active display.

#include "Foundation/Geometry.h"
#include "Tessera/DisplayQueryService.h"

#include <cstdint>
#include <string>
#include <vector>

namespace overlook {

class Logger;

// Something with a symbol icon.
class IconRepresentable {
public:
    virtual ~IconRepresentable() = default;
    virtual std::string iconName() const = 0;
};

class Display final : public IconRepresentable {
public:
    static constexpr std::uint32_t kMaxDisplays = 10;

    DisplayID id = 0;
    std::int64_t unitNumber = 0;
    std::string localizedName;
    Size size; // millimetres
    double rotation = 0;
    bool isMain = false;
    bool isBuiltin = false;
    Rect bounds;
    Rect screenFrame;

    Display() = default;
    // Builds the record of `id` from the platform queries.
    explicit Display(DisplayID id);
    Display(DisplayID id, DisplayQueryService& service);

    // Every active display, at most ten, in platform order.
    static std::vector<Display> activeDisplays();
    static std::vector<Display> activeDisplays(DisplayQueryService& service);
    static Display main();

    double aspectRatio() const { return bounds.width / bounds.height; }
    const std::string& description() const { return localizedName; }
    std::string iconName() const override;

    // A snapshot at native pixel size; a blank image of the bounds' size when the
    // platform gives none. Never null.
    FrameSurfacePtr createImage() const;

    friend bool operator==(const Display& a, const Display& b);
    // Ordered by unit number only.
    friend bool operator<(const Display& a, const Display& b) { return a.unitNumber < b.unitNumber; }
    friend bool operator>(const Display& a, const Display& b) { return b < a; }
    friend bool operator<=(const Display& a, const Display& b) { return !(b < a); }
    friend bool operator>=(const Display& a, const Display& b) { return !(a < b); }
};

std::size_t hashValue(const Display& display);

// The union of the bounds of `displays`; its maxima start at 0, so it always
// reaches the main display's top-left corner.
Rect displayMetrics(const std::vector<Display>& displays);

// The shared vertical flip (a 1, b 0, c 0, d -1, tx 0, ty 0).
const AffineTransform& flipVertical();

// The logger of the display engine's display-level messages.
const Logger& displayLog();

// Truncates toward zero; stops the process for values that are not finite or do
// not fit a signed 64-bit integer (a broken invariant).
std::int64_t truncateToInt64(double value);

} // namespace overlook

template <>
struct std::hash<overlook::Display> {
    std::size_t operator()(const overlook::Display& d) const noexcept { return overlook::hashValue(d); }
};
