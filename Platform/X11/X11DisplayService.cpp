#include "X11DisplayService.h"

#include "Foundation/Logger.h"
#include "Platform/X11/Grabber.h"
#include "Platform/X11/RawMotion.h"

#include <algorithm>
#include <poll.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xinput.h>

namespace overlook::x11 {

namespace {
const Logger& x11Log() {
    static const Logger log(logs::kEngine, "X11");
    return log;
}
// Xvfb and some drivers send no event when only the monitor list changes, so the
// watcher also re-reads it this often.
constexpr int kMonitorPollMs = 1000;
} // namespace

X11DisplayService::X11DisplayService(const char* displayName)
    : displayName_(displayName ? displayName : ""), connection_(displayName) {}

X11DisplayService::~X11DisplayService() {
    stopWatching_ = true;
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
    }
    if (watcher_.joinable())
        watcher_.join();
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

MonitorLayout X11DisplayService::refresh() {
    if (connection_.ok())
        layout_ = readMonitors(connection_.get(), connection_.root());
    haveLayout_ = true;
    readAt_ = std::chrono::steady_clock::now();
    return layout_;
}

const MonitorLayout& X11DisplayService::cached() {
    if (!haveLayout_)
        refresh();
    return layout_;
}

const MonitorLayout& X11DisplayService::recent() {
    // The watcher invalidates the reading when the monitors change.
    const bool watched = watcherRunning_.load();
    if (!haveLayout_ || (!watched && std::chrono::steady_clock::now() - readAt_ > kFreshFor))
        refresh();
    return layout_;
}

MonitorLayout X11DisplayService::layout() {
    std::lock_guard lock(mutex_);
    return refresh();
}

std::vector<DisplayID> X11DisplayService::activeDisplayList(std::uint32_t maxDisplays) {
    std::lock_guard lock(mutex_);
    std::vector<DisplayID> ids;
    for (const Monitor& m : recent().monitors) {
        if (ids.size() >= maxDisplays)
            break;
        ids.push_back(m.id);
    }
    return ids;
}

DisplayID X11DisplayService::mainDisplayID() {
    std::lock_guard lock(mutex_);
    const Monitor* m = recent().main();
    return m ? m->id : 0;
}

// Unknown ids read as zeros, as the display queries of other platforms do.
#define OVERLOOK_MONITOR_FIELD(type, name, expression, fallback)                                   \
    type X11DisplayService::name(DisplayID id) {                                                   \
        std::lock_guard lock(mutex_);                                                              \
        const MonitorLayout& l = cached();                                                         \
        const Monitor* m = l.find(id);                                                             \
        return m ? (expression) : fallback;                                                        \
    }
OVERLOOK_MONITOR_FIELD(std::uint32_t, unitNumber, m->unitNumber, 0)
OVERLOOK_MONITOR_FIELD(Size, screenSizeMillimetres, m->millimetres, Size{})
OVERLOOK_MONITOR_FIELD(double, rotation, m->rotation, 0.0)
OVERLOOK_MONITOR_FIELD(bool, isMain, m == l.main(), false)
OVERLOOK_MONITOR_FIELD(bool, isBuiltin, m->isBuiltin, false)
OVERLOOK_MONITOR_FIELD(Rect, bounds, l.bounds(*m), Rect{})
#undef OVERLOOK_MONITOR_FIELD

std::vector<ScreenInfo> X11DisplayService::screens() {
    std::lock_guard lock(mutex_);
    const MonitorLayout& l = cached();
    std::vector<ScreenInfo> list;
    for (const Monitor& m : l.monitors)
        list.push_back({static_cast<std::int64_t>(m.id), m.name, l.screenFrame(m)});
    return list;
}

FrameSurfacePtr X11DisplayService::createImage(DisplayID id) {
    std::lock_guard lock(mutex_);
    const Monitor* m = recent().find(id);
    if (!m || !connection_.ok())
        return nullptr;
    const xcb_screen_t* screen = connection_.screen();
    const Rect area = m->rootRect.intersection(Rect(0, 0, screen->width_in_pixels, screen->height_in_pixels));
    if (area.isNull() || area.isEmpty())
        return nullptr;
    // A monitor wholly on the root is overwritten pixel for pixel; one that reaches
    // past it keeps transparent edges.
    const bool whole = area == m->rootRect;
    auto surface = FrameSurface::allocate(static_cast<int>(m->rootRect.width), static_cast<int>(m->rootRect.height),
                                          whole ? FrameSurface::Contents::Uninitialized
                                                : FrameSurface::Contents::Transparent);
    // One grabber, and so one shared segment, serves every snapshot: a fresh
    // segment costs page faults on both sides for every one of its pages.
    if (!grabber_)
        grabber_ = std::make_unique<Grabber>(connection_.get(), shmUsable(connection_.get()));
    const int w = static_cast<int>(area.width), h = static_cast<int>(area.height);
    const std::uint8_t* pixels =
        grabber_->grab(connection_.root(), static_cast<int>(area.x), static_cast<int>(area.y), w, h);
    if (!pixels)
        return nullptr;
    const int dx = static_cast<int>(area.x - m->rootRect.x), dy = static_cast<int>(area.y - m->rootRect.y);
    copyOpaque(pixels, w * 4, surface->mutableData() + dy * surface->stride() + dx * 4, surface->stride(), w, h);
    return surface;
}

bool X11DisplayService::snapshotInto(DisplayID id, std::uint8_t* destination, int stride, int width, int height) {
    std::lock_guard lock(mutex_);
    const Monitor* m = recent().find(id);
    if (!m || !connection_.ok() || m->rootRect.width != width || m->rootRect.height != height)
        return false;
    const xcb_screen_t* screen = connection_.screen();
    if (m->rootRect != m->rootRect.intersection(Rect(0, 0, screen->width_in_pixels, screen->height_in_pixels)))
        return false; // partly off the root: createImage keeps the edges transparent
    if (!grabber_)
        grabber_ = std::make_unique<Grabber>(connection_.get(), shmUsable(connection_.get()));
    const std::uint8_t* pixels = grabber_->grab(connection_.root(), static_cast<int>(m->rootRect.x),
                                                static_cast<int>(m->rootRect.y), width, height);
    if (!pixels)
        return false;
    copyOpaque(pixels, width * 4, destination, stride, width, height);
    return true;
}

std::optional<PageBuffer> X11DisplayService::snapshotArea(const Rect& area) {
    std::lock_guard lock(mutex_);
    const MonitorLayout& l = recent();
    if (l.empty() || !connection_.ok() || area.isEmpty())
        return std::nullopt;
    const Rect root = area.offsetBy(l.main()->rootRect.x, l.main()->rootRect.y);
    const xcb_screen_t* screen = connection_.screen();
    if (root != root.intersection(Rect(0, 0, screen->width_in_pixels, screen->height_in_pixels)))
        return std::nullopt;
    if (!shmAvailable_)
        shmAvailable_ = shmUsable(connection_.get()) ? 1 : -1;
    if (shmAvailable_ < 0)
        return std::nullopt; // a remote server: grabbed display by display
    const int w = static_cast<int>(root.width), h = static_cast<int>(root.height);
    const std::size_t bytes = std::size_t(w) * std::size_t(h) * 4;
    // A segment of its own, which becomes the picture: the server writes the pixels
    // where the encoder reads them.
    auto segment = ShmSegment::create(connection_.get(), bytes);
    if (!segment)
        return std::nullopt;
    const auto grab =
        xcb_shm_get_image(connection_.get(), connection_.root(), static_cast<std::int16_t>(root.x),
                          static_cast<std::int16_t>(root.y), static_cast<std::uint16_t>(w),
                          static_cast<std::uint16_t>(h), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment->id(), 0);
    xcb_flush(connection_.get());
    // The fresh segment's page faults, not the copy, are most of the server's work:
    // we take them from the other end meanwhile.
    segment->populateFromTheEnd();
    auto r = reply<xcb_shm_get_image_reply_t>(connection_.get(), xcb_shm_get_image_reply, grab);
    if (!r)
        return std::nullopt;
    return PageBuffer(segment->release(), bytes, [](std::uint8_t* data, std::size_t) { shmdt(data); });
}

std::optional<std::string> X11DisplayService::failure() {
    if (connection_.ok())
        return std::nullopt;
    return "The connection to the X server was lost";
}

Point X11DisplayService::mouseLocation() {
    ensureWatcher();
    std::lock_guard lock(mutex_);
    if (!connection_.ok())
        return {};
    // Cleared before asking: a move during the round trip is asked for next time.
    // Raw motion misses warps by other programs: an old answer is renewed too.
    const auto now = std::chrono::steady_clock::now();
    if (!havePointer_ || !pointerFollowed_ || pointerMoved_.exchange(false) || now - pointerAskedAt_ > kWarpCheckPeriod) {
        pointerAskedAt_ = now;
        ++pointerQueries_;
        auto r = reply<xcb_query_pointer_reply_t>(connection_.get(), xcb_query_pointer_reply,
                                                  xcb_query_pointer(connection_.get(), connection_.root()));
        if (!r)
            return {};
        pointer_ = Point{static_cast<double>(r->root_x), static_cast<double>(r->root_y)};
        havePointer_ = true;
    }
    return cached().toYUp(pointer_.x, pointer_.y);
}

std::shared_ptr<void> X11DisplayService::subscribeReconfiguration(ReconfigurationCallback callback) {
    auto token = subscribers_.add(std::move(callback));
    ensureWatcher();
    return token;
}

bool X11DisplayService::reportsPointerMotion() {
    if (!connection_.ok())
        return false;
    const xcb_query_extension_reply_t* input = xcb_get_extension_data(connection_.get(), &xcb_input_id);
    return input && input->present;
}

std::shared_ptr<void> X11DisplayService::subscribePointerMotion(std::function<void()> callback) {
    auto token = motionSubscribers_.add(std::move(callback));
    ensureWatcher();
    return token;
}

void X11DisplayService::ensureWatcher() {
    if (watcherStarted_.load())
        return;
    std::lock_guard lock(watcherMutex_);
    if (!watcher_.joinable() && connection_.ok()) {
        wakeFd_ = eventfd(0, EFD_CLOEXEC);
        watcher_ = std::thread([this] { watch(); });
    }
    watcherStarted_ = true;
}

void X11DisplayService::watch() {
    Connection watcher(displayName_.empty() ? nullptr : displayName_.c_str());
    if (!watcher.ok()) {
        x11Log().error("Cannot watch for display changes: %s", watcher.error().c_str());
        return;
    }
    xcb_connection_t* c = watcher.get();
    xcb_randr_select_input(c, watcher.root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    const RawMotion motion(c, watcher.root());
    xcb_flush(c);
    MonitorLayout known = readMonitors(c, watcher.root());
    {
        std::lock_guard lock(mutex_);
        haveLayout_ = false; // read again now that changes are watched
    }
    watcherRunning_ = true;
    pointerMoved_ = true;
    pointerFollowed_ = motion.active();
    struct Stopped {
        X11DisplayService& self;
        ~Stopped() {
            self.watcherRunning_ = false;
            self.pointerFollowed_ = false;
        }
    } stopped{*this};
    using Clock = std::chrono::steady_clock;
    auto nextRead = Clock::now() + std::chrono::milliseconds(kMonitorPollMs);
    while (!stopWatching_) {
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(nextRead - Clock::now()).count();
        pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(std::clamp<long long>(waitMs, 0, kMonitorPollMs)));
        bool monitorsMayHaveChanged = Clock::now() >= nextRead;
        bool pointerEvents = false;
        while (auto* event = xcb_poll_for_event(c)) {
            if (motion.matches(event)) {
                pointerMoved_ = true;
                pointerEvents = true;
            } else
                monitorsMayHaveChanged = true; // a RandR notification: read the monitors again
            std::free(event);
        }
        if (xcb_connection_has_error(c)) {
            x11Log().error("The X server connection was lost; display changes are no longer reported");
            return;
        }
        if (stopWatching_)
            return;
        if (pointerEvents) // once per batch of events, however many moves it held
            for (const auto& callback : motionSubscribers_.snapshot())
                callback();
        if (!monitorsMayHaveChanged)
            continue;
        nextRead = Clock::now() + std::chrono::milliseconds(kMonitorPollMs);
        MonitorLayout now = readMonitors(c, watcher.root());
        const auto changed = changedMonitors(known, now);
        known = std::move(now);
        if (changed.empty())
            continue;
        {
            std::lock_guard lock(mutex_);
            haveLayout_ = false; // the cached reading is stale
        }
        const auto callbacks = subscribers_.snapshot();
        for (DisplayID id : changed)
            for (const auto& cb : callbacks)
                cb(id);
    }
}

} // namespace overlook::x11
