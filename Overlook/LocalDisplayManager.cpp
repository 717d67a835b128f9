#include "LocalDisplayManager.h"

#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "Tessera/Display.h"

#include <cairo.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace overlook {

namespace {

const Logger& managerLog() {
    static const Logger log(logs::kApplication, "LocalDisplayManager");
    return log;
}

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

} // namespace

std::vector<LocalDisplay> LocalDisplay::allDisplays() {
    DisplayQueryService& service = displayQueryService();
    std::vector<LocalDisplay> list;
    for (DisplayID id : service.activeDisplayList(Display::kMaxDisplays))
        list.push_back({id, service.screenSizeMillimetres(id), service.rotation(id), service.isMain(id),
                        service.bounds(id)});
    return list;
}

std::string LocalDisplay::screenName() const {
    for (const ScreenInfo& screen : displayQueryService().screens())
        if (screen.displayNumber && static_cast<std::uint32_t>(*screen.displayNumber) == id)
            return screen.localizedName;
    return "Unknown Screen " + std::to_string(id);
}

std::string roundTripNumber(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string s(text, result.ptr);
    // "1512" and "1e+21" read back as doubles too, but the report shows a fraction.
    if (std::isfinite(value) && s.find_first_of(".e") == std::string::npos)
        s += ".0";
    return s;
}

std::string LocalDisplay::description() const {
    return "Display " + std::to_string(id) + "\n" + screenName() + "\n(" + roundTripNumber(bounds.x) + ", " +
           roundTripNumber(bounds.y) + ", " + roundTripNumber(bounds.width) + ", " +
           roundTripNumber(bounds.height) + ")\n";
}

void LocalDisplay::logDescription() const { plainLog("%s", description().c_str()); }

Signal<const ReconfigurationEvent&>& reconfigurationEvents() {
    static Signal<const ReconfigurationEvent&> events; // thread-safe first use
    return events;
}

void displayReconfigurationCallback(DisplayID display, std::uint32_t flags, void* userInfo) {
    if (flags == kBeginConfigurationFlag)
        return;
    plainLog("Displays have been reconfigured");
    reconfigurationEvents().emit(ReconfigurationEvent{display, flags, userInfo});
}

KeyMonitorDecision keyMonitorDecision(const std::string& characters, bool exactlyCommand) {
    // An optional sign and ASCII digits, nothing else.
    const char* begin = characters.data();
    const char* end = begin + characters.size();
    const char* digits = (begin != end && (*begin == '+' || *begin == '-')) ? begin + 1 : begin;
    if (digits == end || !std::all_of(digits, end, [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    std::int64_t n = 0;
    const auto parsed = std::from_chars(*begin == '+' ? begin + 1 : begin, end, n);
    KeyMonitorDecision decision{true, std::nullopt};
    if (!exactlyCommand && parsed.ec == std::errc())
        decision.printed = n;
    return decision;
}

namespace {
void (*gKeyMonitorInstaller)() = nullptr;
} // namespace

void LocalDisplayManager::setKeyMonitorInstaller(void (*installer)()) { gKeyMonitorInstaller = installer; }

LocalDisplayManager::LocalDisplayManager() : availableDisplays(*this, LocalDisplay::allDisplays()) {
    tokens_.push_back(displayQueryService().subscribeReconfiguration(
        [](DisplayID id) { displayReconfigurationCallback(id, 0, nullptr); }));
    // Events arrive on the platform's watcher thread; the list is published on the
    // main thread, where every observer of this application lives.
    std::weak_ptr<LocalDisplayManager*> weak = alive_;
    connections_.emplace_back(reconfigurationEvents().connect([weak](const ReconfigurationEvent&) {
        mainQueue().async([weak] {
            if (auto self = weak.lock())
                (*self)->availableDisplays = LocalDisplay::allDisplays();
        });
    }));
    if (gKeyMonitorInstaller)
        gKeyMonitorInstaller();
}

LocalDisplayManager& LocalDisplayManager::shared() {
    static LocalDisplayManager* manager = new LocalDisplayManager(); // lives until the process ends
    return *manager;
}

void LocalDisplayManager::displayInformation() const {
    plainLog("Display Information");
    for (const LocalDisplay& d : availableDisplays.get())
        d.logDescription();
}

namespace {
// True when the displays tile `area` exactly (no gaps, no overlaps), so drawing them
// writes every pixel and clearing first would be wasted work. Cheap for the
// handful of displays a desktop has.
bool displaysCoverUnion(const std::vector<LocalDisplay>& displays, const Rect& area) {
    double covered = 0;
    for (std::size_t i = 0; i < displays.size(); ++i) {
        const Rect& a = displays[i].bounds;
        if (a.x != std::floor(a.x) || a.y != std::floor(a.y) || a.width != std::floor(a.width) ||
            a.height != std::floor(a.height))
            return false; // fractional edges leave partly covered pixels
        covered += a.width * a.height;
        for (std::size_t j = i + 1; j < displays.size(); ++j)
            if (!a.intersection(displays[j].bounds).isEmpty())
                return false;
    }
    return covered == area.width * area.height;
}
} // namespace

std::optional<DesktopBitmap> LocalDisplayManager::desktopSnapshot(const std::vector<LocalDisplay>& displays,
                                                                  std::string* error) {
    auto fail = [error](std::string reason) {
        if (error)
            *error = std::move(reason);
        return std::nullopt;
    };
    if (displays.empty())
        return fail("There is no display to capture");
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    for (const LocalDisplay& d : displays) {
        minX = std::min(minX, d.bounds.x);
        minY = std::min(minY, d.bounds.y);
        maxX = std::max(maxX, d.bounds.x + d.bounds.width);
        maxY = std::max(maxY, d.bounds.y + d.bounds.height);
    }
    DesktopBitmap bitmap;
    bitmap.width = static_cast<int>(maxX - minX);
    bitmap.height = static_cast<int>(maxY - minY);
    if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.width > 32767 || bitmap.height > 32767) {
        managerLog().error("Cannot make a %d x %d desktop bitmap", bitmap.width, bitmap.height);
        return fail("Cannot make a " + std::to_string(bitmap.width) + " x " + std::to_string(bitmap.height) +
                    " desktop picture");
    }
    bitmap.stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, bitmap.width);
    DisplayQueryService& service = displayQueryService();
    const bool covered = displaysCoverUnion(displays, Rect(minX, minY, bitmap.width, bitmap.height));
    // Displays that leave no gap may be read all at once, where the platform can.
    if (covered && bitmap.stride == bitmap.width * 4)
        if (auto whole = service.snapshotArea(Rect(minX, minY, bitmap.width, bitmap.height))) {
            bitmap.memory = std::move(*whole);
            bitmap.alphaUndefined = true;
            return bitmap;
        }
    bitmap.memory = PageBuffer(static_cast<std::size_t>(bitmap.stride) * bitmap.height);
    if (!covered)
        std::memset(bitmap.memory.data(), 0, static_cast<std::size_t>(bitmap.stride) * bitmap.height);
    SurfacePtr target(cairo_image_surface_create_for_data(bitmap.memory.data(), CAIRO_FORMAT_ARGB32, bitmap.width,
                                                          bitmap.height, bitmap.stride));
    ContextPtr cr(cairo_create(target.get()));

    for (const LocalDisplay& d : displays) {
        // At one pixel per point, straight into its place: no picture of its own.
        const int left = static_cast<int>(d.bounds.x - minX), top = static_cast<int>(d.bounds.y - minY);
        cairo_surface_flush(target.get()); // cairo's drawing so far is in memory before ours
        if (left == d.bounds.x - minX && top == d.bounds.y - minY &&
            service.snapshotInto(d.id, bitmap.memory.data() + static_cast<std::size_t>(top) * bitmap.stride + left * 4,
                                 bitmap.stride, static_cast<int>(d.bounds.width), static_cast<int>(d.bounds.height))) {
            cairo_surface_mark_dirty(target.get());
            continue;
        }
        FrameSurfacePtr shot = service.createImage(d.id);
        if (!shot || shot->width() <= 0 || shot->height() <= 0) {
            managerLog().error("No snapshot of display %u; no desktop picture is made", d.id);
            if (std::optional<std::string> lost = service.failure())
                return fail(*lost);
            return fail("Display " + std::to_string(d.id) + " could not be captured");
        }
        // cairo only reads the pixels; the surface does not outlive this step.
        SurfacePtr source(cairo_image_surface_create_for_data(const_cast<std::uint8_t*>(shot->data()),
                                                              CAIRO_FORMAT_ARGB32, shot->width(), shot->height(),
                                                              shot->stride()));
        cairo_save(cr.get());
        cairo_rectangle(cr.get(), d.bounds.x - minX, d.bounds.y - minY, d.bounds.width, d.bounds.height);
        cairo_clip(cr.get());
        cairo_translate(cr.get(), d.bounds.x - minX, d.bounds.y - minY);
        const bool sameSize = shot->width() == static_cast<int>(d.bounds.width) &&
                              shot->height() == static_cast<int>(d.bounds.height);
        if (!sameSize)
            cairo_scale(cr.get(), d.bounds.width / shot->width(), d.bounds.height / shot->height());
        cairo_set_source_surface(cr.get(), source.get(), 0, 0);
        // Several pixels per point are averaged down; a 1:1 copy needs no filter.
        cairo_pattern_set_filter(cairo_get_source(cr.get()), sameSize ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_GOOD);
        // Snapshots are opaque: at one pixel per point the display's rectangle is a
        // plain copy, which is much cheaper than blending every pixel.
        if (sameSize)
            cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr.get());
        cairo_restore(cr.get());
    }
    cairo_surface_flush(target.get());
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
        managerLog().error("Drawing the desktop failed: %s", cairo_status_to_string(cairo_status(cr.get())));
        return fail(std::string("Drawing the desktop failed: ") + cairo_status_to_string(cairo_status(cr.get())));
    }
    return bitmap;
}

LocalDisplayManager::WriteResult LocalDisplayManager::writeDesktopScreenshot(const std::string& path) {
    std::string error;
    const auto bitmap = desktopSnapshot(LocalDisplay::allDisplays(), &error);
    if (!bitmap)
        return {false, error};
    const PngData png = encodePng(bitmap->pixels(), bitmap->alphaUndefined ? Alpha::Ignore : Alpha::Check);
    if (png.size == 0)
        return {false, "The screenshot could not be encoded"};
    if (auto error = writeNewFile(path, png.data(), png.size))
        return {false, *error};
    return {true, {}};
}

} // namespace overlook
