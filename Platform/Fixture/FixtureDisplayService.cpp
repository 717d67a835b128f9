#include "FixtureDisplayService.h"

#include "Platform/Fixture/TestPattern.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace overlook::fixture {

namespace {

using nlohmann::json;

Rect readRect(const json& value, const std::string& what) {
    if (!value.is_array() || value.size() != 4)
        throw FixtureError(what + " must be an array [x, y, width, height]");
    for (const auto& v : value)
        if (!v.is_number())
            throw FixtureError(what + " must hold numbers");
    return {value[0].get<double>(), value[1].get<double>(), value[2].get<double>(),
            value[3].get<double>()};
}

Size readSize(const json& value, const std::string& what) {
    if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number())
        throw FixtureError(what + " must be an array [width, height] of numbers");
    return {value[0].get<double>(), value[1].get<double>()};
}

template <class T>
T readOr(const json& object, const char* key, T fallback, const std::string& where) {
    auto it = object.find(key);
    if (it == object.end())
        return fallback;
    try {
        return it->get<T>();
    } catch (const json::exception&) {
        throw FixtureError(where + ": \"" + key + "\" has the wrong type");
    }
}

} // namespace

Arrangement parseArrangement(const std::string& text) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        throw FixtureError(std::string("not valid JSON: ") + e.what());
    }
    if (!root.is_object() || !root.contains("displays") || !root["displays"].is_array())
        throw FixtureError("the arrangement must be an object with a \"displays\" array");

    Arrangement a;
    std::set<DisplayID> ids;
    std::uint32_t index = 0;
    for (const json& d : root["displays"]) {
        const std::string where = "display " + std::to_string(index);
        if (!d.is_object())
            throw FixtureError(where + " is not an object");
        if (!d.contains("id") || !d["id"].is_number_unsigned())
            throw FixtureError(where + " needs an unsigned \"id\"");
        FixtureDisplay fd;
        fd.id = d["id"].get<DisplayID>();
        if (!ids.insert(fd.id).second)
            throw FixtureError(where + " repeats the id " + std::to_string(fd.id));
        fd.unitNumber = readOr<std::uint32_t>(d, "unitNumber", index, where);
        fd.name = readOr<std::string>(d, "name", "", where);
        if (d.contains("sizeMillimetres"))
            fd.sizeMillimetres = readSize(d["sizeMillimetres"], where + " sizeMillimetres");
        fd.rotation = readOr<double>(d, "rotation", 0.0, where);
        fd.isMain = readOr<bool>(d, "main", false, where);
        fd.isBuiltin = readOr<bool>(d, "builtin", false, where);
        if (!d.contains("bounds"))
            throw FixtureError(where + " needs \"bounds\"");
        fd.bounds = readRect(d["bounds"], where + " bounds");
        fd.pixelsPerPoint = readOr<double>(d, "pixelsPerPoint", 1.0, where);
        if (!(fd.pixelsPerPoint > 0))
            throw FixtureError(where + ": \"pixelsPerPoint\" must be positive");
        a.displays.push_back(fd);
        ++index;
    }

    const FixtureDisplay* main = nullptr;
    for (const auto& d : a.displays)
        if (d.isMain && !main)
            main = &d;
    const double mainHeight = main ? main->bounds.height : 0;

    if (root.contains("screens")) {
        if (!root["screens"].is_array())
            throw FixtureError("\"screens\" must be an array");
        for (const json& s : root["screens"]) {
            if (!s.is_object())
                throw FixtureError("a screen is not an object");
            ScreenInfo info;
            if (s.contains("displayNumber")) {
                if (!s["displayNumber"].is_number_integer())
                    throw FixtureError("a screen's \"displayNumber\" must be an integer");
                info.displayNumber = s["displayNumber"].get<std::int64_t>();
            }
            info.localizedName = readOr<std::string>(s, "name", "", "a screen");
            if (!s.contains("frame"))
                throw FixtureError("a screen needs a \"frame\"");
            info.frame = readRect(s["frame"], "a screen's frame");
            a.screens.push_back(info);
        }
    } else {
        for (const auto& d : a.displays)
            a.screens.push_back(ScreenInfo{d.id, d.name,
                                           Rect(d.bounds.x, mainHeight - (d.bounds.y + d.bounds.height),
                                                d.bounds.width, d.bounds.height)});
    }

    if (root.contains("mouse")) {
        const Size m = readSize(root["mouse"], "\"mouse\"");
        a.mouse = {m.width, m.height};
    }
    return a;
}

Arrangement loadArrangement(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw FixtureError("cannot open the fixture file " + path);
    std::stringstream text;
    text << in.rdbuf();
    try {
        return parseArrangement(text.str());
    } catch (const FixtureError& e) {
        throw FixtureError(path + ": " + e.what());
    }
}

FixtureDisplayService::FixtureDisplayService(Arrangement arrangement)
    : arrangement_(std::move(arrangement)) {}

void FixtureDisplayService::setArrangement(Arrangement arrangement) {
    std::vector<DisplayID> changed;
    std::vector<ReconfigurationCallback> callbacks;
    {
        std::lock_guard lock(mutex_);
        std::map<DisplayID, Rect> before, after;
        for (const auto& d : arrangement_.displays)
            before[d.id] = d.bounds;
        for (const auto& d : arrangement.displays)
            after[d.id] = d.bounds;
        for (const auto& [id, rect] : before)
            if (!after.count(id) || after[id] != rect)
                changed.push_back(id);
        for (const auto& [id, rect] : after)
            if (!before.count(id))
                changed.push_back(id);
        arrangement_ = std::move(arrangement);
    }
    callbacks = subscribers_.snapshot();
    for (DisplayID id : changed)
        for (const auto& cb : callbacks)
            cb(id);
}

void FixtureDisplayService::setMouseLocation(Point location) {
    std::lock_guard lock(mutex_);
    arrangement_.mouse = location;
}

void FixtureDisplayService::setSnapshotsFail(bool fail) {
    std::lock_guard lock(mutex_);
    snapshotsFail_ = fail;
}

void FixtureDisplayService::holdSnapshots(std::shared_future<void> gate) {
    std::lock_guard lock(mutex_);
    snapshotGate_ = std::move(gate);
}

bool FixtureDisplayService::snapshotsMayWait() {
    std::lock_guard lock(mutex_);
    return snapshotGate_.has_value();
}

Arrangement FixtureDisplayService::arrangement() const {
    std::lock_guard lock(mutex_);
    return arrangement_;
}

const FixtureDisplay* FixtureDisplayService::find(DisplayID id) const {
    for (const auto& d : arrangement_.displays)
        if (d.id == id)
            return &d;
    return nullptr;
}

std::uint32_t FixtureDisplayService::colorOf(DisplayID id) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < arrangement_.displays.size(); ++i)
        if (arrangement_.displays[i].id == id)
            return displayColor(i);
    return displayColor(0);
}

std::vector<DisplayID> FixtureDisplayService::activeDisplayList(std::uint32_t maxDisplays) {
    std::lock_guard lock(mutex_);
    std::vector<DisplayID> ids;
    for (const auto& d : arrangement_.displays) {
        if (ids.size() >= maxDisplays)
            break;
        ids.push_back(d.id);
    }
    return ids;
}

DisplayID FixtureDisplayService::mainDisplayID() {
    std::lock_guard lock(mutex_);
    for (const auto& d : arrangement_.displays)
        if (d.isMain)
            return d.id;
    return arrangement_.displays.empty() ? 0 : arrangement_.displays.front().id;
}

// Unknown ids read as zeros, as the platform queries do.
#define OVERLOOK_FIELD(type, name, field, fallback)                                                \
    type FixtureDisplayService::name(DisplayID id) {                                               \
        std::lock_guard lock(mutex_);                                                              \
        const FixtureDisplay* d = find(id);                                                        \
        return d ? d->field : fallback;                                                            \
    }
OVERLOOK_FIELD(std::uint32_t, unitNumber, unitNumber, 0)
OVERLOOK_FIELD(Size, screenSizeMillimetres, sizeMillimetres, Size{})
OVERLOOK_FIELD(double, rotation, rotation, 0.0)
OVERLOOK_FIELD(bool, isMain, isMain, false)
OVERLOOK_FIELD(bool, isBuiltin, isBuiltin, false)
OVERLOOK_FIELD(Rect, bounds, bounds, Rect{})
#undef OVERLOOK_FIELD

std::vector<ScreenInfo> FixtureDisplayService::screens() {
    std::lock_guard lock(mutex_);
    return arrangement_.screens;
}

FrameSurfacePtr FixtureDisplayService::createImage(DisplayID id) {
    FixtureDisplay display;
    std::uint32_t color = 0;
    std::optional<std::shared_future<void>> gate;
    {
        std::lock_guard lock(mutex_);
        gate = snapshotGate_;
    }
    if (gate)
        gate->wait();
    {
        std::lock_guard lock(mutex_);
        const FixtureDisplay* d = find(id);
        if (!d || snapshotsFail_)
            return nullptr;
        display = *d;
        for (std::size_t i = 0; i < arrangement_.displays.size(); ++i)
            if (arrangement_.displays[i].id == id)
                color = displayColor(i);
    }
    const int w = static_cast<int>(display.bounds.width * display.pixelsPerPoint);
    const int h = static_cast<int>(display.bounds.height * display.pixelsPerPoint);
    auto surface = FrameSurface::allocate(w, h);
    renderPattern(*surface, color, {display.bounds.width, display.bounds.height}, 0);
    return surface;
}

Point FixtureDisplayService::mouseLocation() {
    std::lock_guard lock(mutex_);
    return arrangement_.mouse;
}

std::shared_ptr<void> FixtureDisplayService::subscribeReconfiguration(ReconfigurationCallback callback) {
    return subscribers_.add(std::move(callback));
}

} // namespace overlook::fixture
