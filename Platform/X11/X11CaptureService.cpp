#include "X11CaptureService.h"

#include "Foundation/Logger.h"
#include "Tessera/CursorImage.h"
#include "Platform/X11/Grabber.h"
#include "Platform/X11/Monitors.h"
#include "Platform/X11/RawMotion.h"
#include "Platform/X11/Xcb.h"
#include "Tessera/AreaFilter.h"
#include "Tessera/ServedStream.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>
#include <xcb/damage.h>
#include <xcb/dpms.h>
#include <xcb/randr.h>
#include <xcb/render.h>
#include <xcb/xfixes.h>

namespace overlook::x11 {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIdleInterval = std::chrono::seconds(1);
constexpr auto kMonitorPollInterval = std::chrono::seconds(1);
constexpr double kDefaultRefreshRate = 60;
// The pointer is followed at the refresh rate while it moves and at this period
// once it has been still for a second, so an idle desktop costs few round trips.
constexpr auto kStillPointerPeriod = std::chrono::milliseconds(100);
constexpr auto kPointerSettleTime = std::chrono::seconds(1);
constexpr auto kEarliestPointerCheck = std::chrono::milliseconds(5);
// Raw motion events report every move of a device, but not a program warping the
// pointer (xdotool mousemove, say): with events, a still pointer is asked for
// only this often, to catch those.
constexpr auto kWarpCheckPeriod = std::chrono::milliseconds(250);

const Logger& captureLog() {
    static const Logger log(logs::kEngine, "X11");
    return log;
}

xcb_render_fixed_t toFixed(double v) { return static_cast<xcb_render_fixed_t>(std::lround(v * 65536.0)); }

// The picture format of a visual, or of a depth for pixmaps without one.
xcb_render_pictformat_t formatForVisual(const xcb_render_query_pict_formats_reply_t* formats, xcb_visualid_t visual) {
    for (auto s = xcb_render_query_pict_formats_screens_iterator(formats); s.rem; xcb_render_pictscreen_next(&s))
        for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem; xcb_render_pictdepth_next(&d))
            for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem; xcb_render_pictvisual_next(&v))
                if (v.data->visual == visual)
                    return v.data->format;
    return XCB_NONE;
}

} // namespace

// What the worker knows of one stream beyond what every served stream has.
struct X11CaptureService::StreamState : ServedStreamState {
    using ServedStreamState::ServedStreamState;

    // Worker-only.
    bool wasStarted = false;
    std::uint64_t startsSeen = 0;
    bool ended = false; // the display went away
    bool dirty = true;
    // What to grab for the next frame: everything, or the part of the display (root
    // coordinates) that changed since the last frame, which is then patched into a
    // copy of that frame: a moving cursor costs a few hundred pixels, not a display.
    bool dirtyAll = true;
    Rect dirtyArea = Rect::null();
    std::shared_ptr<FrameSurface> previous;
    Rect area;          // the display's rectangle in root coordinates
    bool haveArea = false;
    Clock::time_point lastFrame{};
    Clock::time_point lastUpdate{};
    xcb_render_picture_t source = XCB_NONE;
    xcb_pixmap_t pixmap = XCB_NONE;
    xcb_render_picture_t target = XCB_NONE;
};

namespace {
void markAll(X11CaptureService::StreamState& s) {
    s.dirty = true;
    s.dirtyAll = true;
}
void markArea(X11CaptureService::StreamState& s, const Rect& rootArea) {
    s.dirty = true;
    s.dirtyArea = s.dirtyArea.unionWith(rootArea);
}
// A change smaller than this share of the display is grabbed alone.
constexpr double kPartialShare = 0.25;

// Whole pixels of a stream's frame.
struct OutputRect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const OutputRect&, const OutputRect&) = default;
};

// The frame pixels whose values depend on `changed` (root coordinates): with a
// pixel more around it for bilinear sampling, or whole blocks of `k` for the area
// filter (whose grab starts at the display's corner).
OutputRect outputRect(const Rect& changed, const X11CaptureService::StreamState& s, double sx, double sy, int k) {
    const int margin = k > 1 ? 0 : 1;
    const int x0 = std::max(0, static_cast<int>(std::floor((changed.minX() - s.area.x) / sx)) - margin);
    const int y0 = std::max(0, static_cast<int>(std::floor((changed.minY() - s.area.y) / sy)) - margin);
    const int x1 = std::min(s.width, static_cast<int>(std::ceil((changed.maxX() - s.area.x) / sx)) + margin);
    const int y1 = std::min(s.height, static_cast<int>(std::ceil((changed.maxY() - s.area.y) / sy)) + margin);
    return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

// Where the cursor image lies with its hot spot at `p`, with a pixel to spare for
// the reduction's filter.
Rect cursorArea(const CursorImage& image, Point p) {
    return {p.x - image.hotX - 1, p.y - image.hotY - 1, double(image.width) + 2, double(image.height) + 2};
}
} // namespace

class X11CaptureService::Worker {
public:
    Worker(X11CaptureService& owner, Connection connection)
        : owner_(owner), connection_(std::move(connection)), c_(connection_.get()),
          grabber_(c_, owner.usesShm_) {}

    bool setUp(std::string& error);
    void run();
    void requestStop() { stopping_ = true; }
    CaptureStats stats() const {
        std::lock_guard lock(statsMutex_);
        return stats_;
    }

private:
    using StatePtr = std::shared_ptr<StreamState>;

    std::vector<StatePtr> currentStreams();
    void takeOwnAreas(const std::vector<StatePtr>& streams);
    void markChanged(const Rect& changed, const std::vector<StatePtr>& streams);
    void handleEvents(const std::vector<StatePtr>& streams);
    void readLayout(const std::vector<StatePtr>& streams);
    void trackPointer(const std::vector<StatePtr>& streams);
    void updateDamageSubscription(bool anyStarted);
    void serve(StreamState& s, Clock::time_point now);
    FrameSurfacePtr capture(StreamState& s);
    bool reduceWithRender(StreamState& s, FrameSurface& out, double sx, double sy, const OutputRect& part);
    void release(StreamState& s);
    const CursorImage& cursor();
    bool displayAsleep(Clock::time_point now);
    void connectionLost(const std::vector<StatePtr>& streams);
    int timeoutMs(const std::vector<StatePtr>& streams, Clock::time_point now) const;
    Clock::duration pointerPeriod(Clock::duration framePeriod, Clock::time_point now) const;

    X11CaptureService& owner_;
    Connection connection_;
    xcb_connection_t* c_;
    Grabber grabber_;
    std::atomic<bool> stopping_{false};
    std::vector<StatePtr> known_;
    std::vector<Rect> ownAreas_; // our own windows: damage there is not a change
    std::uint64_t ownAreasVersion_ = 0;

    MonitorLayout layout_;
    Clock::time_point lastLayoutRead_{};
    bool layoutStale_ = true;

    std::uint8_t damageEvent_ = 0, fixesEvent_ = 0, randrEvent_ = 0;
    bool haveDamage_ = false, haveFixes_ = false, haveDpms_ = false, haveRender_ = false;
    xcb_damage_damage_t damage_ = XCB_NONE;
    xcb_render_pictformat_t rootFormat_ = XCB_NONE;

    std::unique_ptr<RawMotion> motion_;
    bool pointerMayHaveMoved_ = true; // always true without raw motion events
    CursorImage cursorImage_;
    bool cursorStale_ = true;
    bool cursorRefused_ = false;
    std::uint32_t cursorSerial_ = 0; // of the shape cursorImage_ shows
    Point pointer_{-1e9, -1e9};
    Clock::time_point pointerMoved_{};
    Clock::time_point pointerChecked_{};

    bool asleep_ = false;
    Clock::time_point lastDpmsCheck_{};

    mutable std::mutex statsMutex_;
    CaptureStats stats_;
};

bool X11CaptureService::Worker::setUp(std::string& error) {
    auto extension = [&](xcb_extension_t* ext) { return xcb_get_extension_data(c_, ext); };
    if (auto* r = extension(&xcb_randr_id); r && r->present) {
        randrEvent_ = r->first_event;
        xcb_randr_select_input(c_, connection_.root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    } else {
        // A server that went away answers no extension query either.
        error = xcb_connection_has_error(c_) ? "the connection to the X server was lost"
                                             : "the X server has no RandR extension";
        return false;
    }
    if (auto* d = extension(&xcb_damage_id); d && d->present) {
        damageEvent_ = d->first_event;
        XcbReply<xcb_damage_query_version_reply_t> v(
            xcb_damage_query_version_reply(c_, xcb_damage_query_version(c_, 1, 1), nullptr));
        haveDamage_ = v != nullptr;
    }
    if (auto* f = extension(&xcb_xfixes_id); f && f->present) {
        fixesEvent_ = f->first_event;
        XcbReply<xcb_xfixes_query_version_reply_t> v(
            xcb_xfixes_query_version_reply(c_, xcb_xfixes_query_version(c_, 5, 0), nullptr));
        haveFixes_ = v != nullptr;
        if (haveFixes_)
            xcb_xfixes_select_cursor_input(c_, connection_.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
    motion_ = std::make_unique<RawMotion>(c_, connection_.root());
    if (!motion_->active())
        captureLog().info("The X server has no XInput 2: the pointer is polled");
    if (auto* p = extension(&xcb_dpms_id); p && p->present)
        haveDpms_ = true;
    if (auto* r = extension(&xcb_render_id); r && r->present) {
        XcbReply<xcb_render_query_version_reply_t> v(
            xcb_render_query_version_reply(c_, xcb_render_query_version(c_, 0, 11), nullptr));
        XcbReply<xcb_render_query_pict_formats_reply_t> formats(
            xcb_render_query_pict_formats_reply(c_, xcb_render_query_pict_formats(c_), nullptr));
        if (v && formats) {
            rootFormat_ = formatForVisual(formats.get(), connection_.screen()->root_visual);
            haveRender_ = rootFormat_ != XCB_NONE;
        }
    }
    if (!haveDamage_)
        captureLog().info("The X server has no DAMAGE extension: displays are grabbed at every refresh");
    xcb_flush(c_);
    return true;
}

std::vector<X11CaptureService::Worker::StatePtr> X11CaptureService::Worker::currentStreams() {
    std::vector<StatePtr> now;
    {
        std::lock_guard lock(owner_.mutex_);
        now = owner_.streams_;
    }
    takeOwnAreas(now);
    // Streams that went away since the last turn give back their server resources;
    // a new one needs its display's rectangle before anything can be grabbed.
    for (const auto& old : known_)
        if (std::find(now.begin(), now.end(), old) == now.end())
            release(*old);
    for (const auto& s : now)
        if (!s->haveArea)
            layoutStale_ = true;
    known_ = now;
    return now;
}

void X11CaptureService::Worker::takeOwnAreas(const std::vector<StatePtr>& streams) {
    std::vector<Rect> before;
    {
        std::lock_guard lock(owner_.mutex_);
        if (owner_.ownAreasVersion_ == ownAreasVersion_)
            return;
        ownAreasVersion_ = owner_.ownAreasVersion_;
        before = std::exchange(ownAreas_, owner_.ownAreas_);
    }
    // Where one of our windows went, the desktop shows again: grabbed anew (also
    // where its damage reached us while the area was still ours). Where one came,
    // the frames keep what was there before: the server has nothing else to give,
    // and a grab would put the window into its own preview for as long as it stays.
    for (const auto& s : streams) {
        if (!s->haveArea)
            continue;
        for (const Rect& r : before)
            for (const Rect& uncovered : uncoveredParts(s->area.intersection(r), ownAreas_))
                markArea(*s, uncovered);
    }
}

void X11CaptureService::Worker::markChanged(const Rect& changed, const std::vector<StatePtr>& streams) {
    for (const auto& s : streams) {
        if (!s->haveArea || (s->dirty && s->dirtyAll))
            continue;
        const Rect piece = s->area.intersection(changed);
        if (piece.isEmpty())
            continue;
        // Our own windows redrawing themselves are not a change of the desktop.
        if (!ownAreas_.empty() && isCoveredBy(piece, ownAreas_))
            continue;
        markArea(*s, piece);
    }
}

void X11CaptureService::Worker::release(StreamState& s) {
    s.previous.reset();
    s.dirtyAll = true;
    if (s.source)
        xcb_render_free_picture(c_, s.source);
    if (s.target)
        xcb_render_free_picture(c_, s.target);
    if (s.pixmap)
        xcb_free_pixmap(c_, s.pixmap);
    s.source = s.target = XCB_NONE;
    s.pixmap = XCB_NONE;
}

void X11CaptureService::Worker::run() {
    while (!stopping_) {
        {
            std::lock_guard lock(statsMutex_);
            ++stats_.wakeups;
        }
        auto streams = currentStreams();
        bool anyStarted = false;
        for (const auto& s : streams) {
            const bool started = s->started.load();
            const std::uint64_t starts = s->starts.load();
            if (started && (!s->wasStarted || starts != s->startsSeen)) {
                markAll(*s); // a first frame straight after start
                s->lastUpdate = Clock::now();
            }
            s->wasStarted = started;
            s->startsSeen = starts;
            anyStarted |= started && !s->ended;
        }
        updateDamageSubscription(anyStarted);

        pollfd fds[2] = {{xcb_get_file_descriptor(c_), POLLIN, 0}, {owner_.wakeFd_, POLLIN, 0}};
        poll(fds, 2, anyStarted ? timeoutMs(streams, Clock::now()) : 1000);
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            (void)!read(owner_.wakeFd_, &count, sizeof count);
        }
        if (stopping_)
            break;
        streams = currentStreams();
        handleEvents(streams);
        if (xcb_connection_has_error(c_)) {
            connectionLost(streams);
            return;
        }
        const auto now = Clock::now();
        if (layoutStale_ || now - lastLayoutRead_ >= kMonitorPollInterval)
            readLayout(streams);
        if (!anyStarted)
            continue;
        trackPointer(streams);
        for (const auto& s : streams)
            if (s->started && !s->ended && !s->removed)
                serve(*s, Clock::now());
        xcb_flush(c_);
    }
    for (const auto& s : known_)
        release(*s);
    xcb_flush(c_);
}

int X11CaptureService::Worker::timeoutMs(const std::vector<StatePtr>& streams, Clock::time_point now) const {
    auto next = now + kIdleInterval;
    for (const auto& s : streams) {
        if (!s->started || s->ended || !s->haveArea)
            continue; // nothing to grab yet: no reason to wake early
        const Monitor* m = layout_.find(s->display);
        const double rate = m && m->refreshRate > 0 ? m->refreshRate : kDefaultRefreshRate;
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
        next = std::min(next, s->dirty || !haveDamage_ ? s->lastFrame + period : s->lastUpdate + kIdleInterval);
        if (s->showCursor)
            next = std::min(next, pointerChecked_ + (pointerMayHaveMoved_ || !motion_->active()
                                                         ? pointerPeriod(period, now)
                                                         : Clock::duration(kWarpCheckPeriod)));
    }
    // Rounded up: a timeout rounded down to 0 would spin through the last millisecond.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
}

void X11CaptureService::Worker::updateDamageSubscription(bool anyStarted) {
    if (!haveDamage_)
        return;
    // Damage reports cost the server work on every drawing: only while streams run.
    if (anyStarted && damage_ == XCB_NONE) {
        damage_ = xcb_generate_id(c_);
        xcb_damage_create(c_, damage_, connection_.root(), XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
        // A new damage object reports the whole root once. A round trip makes that
        // report arrive before the first frames are taken, not after them.
        free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    } else if (!anyStarted && damage_ != XCB_NONE) {
        xcb_damage_destroy(c_, damage_);
        damage_ = XCB_NONE;
        xcb_flush(c_);
    }
}

void X11CaptureService::Worker::handleEvents(const std::vector<StatePtr>& streams) {
    while (auto* raw = xcb_poll_for_event(c_)) {
        XcbReply<xcb_generic_event_t> event(raw);
        const std::uint8_t type = event->response_type & 0x7F;
        if (motion_->matches(raw)) {
            pointerMayHaveMoved_ = true;
        } else if (haveDamage_ && type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
            const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(raw);
            markChanged(Rect(notify->area.x, notify->area.y, notify->area.width, notify->area.height), streams);
        } else if (haveFixes_ && type == fixesEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
            // Only a new shape counts: the server also reports the cursor each time it
            // hides and shows a software cursor around our own grabs, and treating
            // those as changes would make every frame ask for the next one.
            const auto* notify = reinterpret_cast<const xcb_xfixes_cursor_notify_event_t*>(raw);
            if (!cursorRefused_ && notify->cursor_serial != cursorSerial_) {
                cursorSerial_ = notify->cursor_serial;
                cursorStale_ = true;
            }
        } else if (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY) {
            layoutStale_ = true;
        }
    }
}

void X11CaptureService::Worker::readLayout(const std::vector<StatePtr>& streams) {
    layout_ = readMonitors(c_, connection_.root());
    lastLayoutRead_ = Clock::now();
    layoutStale_ = false;
    for (const auto& s : streams) {
        const Monitor* m = layout_.find(s->display);
        if (!m) {
            if (!s->ended && s->haveArea) {
                // The display went away while streaming: the stream ends.
                s->ended = true;
                captureLog().info("Display %u is gone; its stream ends", s->display);
                s->delivery.post(FrameStatus::Stopped, nullptr);
            }
            continue;
        }
        if (s->ended) {
            // The display is back (RandR gives a monitor its output's id again): its
            // stream goes on where it stopped, with a frame at once.
            s->ended = false;
            markAll(*s);
            captureLog().info("Display %u is back; its stream goes on", s->display);
        }
        if (!s->haveArea || s->area != m->rootRect) {
            release(*s); // the reduction's transform depends on the area
            s->area = m->rootRect;
            s->haveArea = true;
            markAll(*s);
        }
    }
}

Clock::duration X11CaptureService::Worker::pointerPeriod(Clock::duration framePeriod, Clock::time_point now) const {
    return now - pointerMoved_ < kPointerSettleTime ? framePeriod : Clock::duration(kStillPointerPeriod);
}

void X11CaptureService::Worker::trackPointer(const std::vector<StatePtr>& streams) {
    const auto now = Clock::now();
    // Due when the loop woke for it (a little early is fine, the loop wakes at most that often).
    if (!cursorStale_) {
        // With raw motion events a still pointer costs next to nothing: no events,
        // and a query now and then for warps.
        if (motion_->active() && !pointerMayHaveMoved_ && now - pointerChecked_ < kWarpCheckPeriod)
            return;
        if (now - pointerChecked_ < pointerPeriod(kEarliestPointerCheck, now))
            return;
    }
    pointerChecked_ = now;
    pointerMayHaveMoved_ = !motion_->active();
    XcbReply<xcb_query_pointer_reply_t> r(
        xcb_query_pointer_reply(c_, xcb_query_pointer(c_, connection_.root()), nullptr));
    if (!r)
        return;
    const Point position{static_cast<double>(r->root_x), static_cast<double>(r->root_y)};
    if (position == pointer_ && !cursorStale_)
        return;
    if (position != pointer_)
        pointerMoved_ = now;
    // The cursor moved or changed shape: where it was and where it is now changed
    // (all of a display it is on after a new shape, whose size may differ).
    const bool newShape = cursorStale_;
    const CursorImage& image = cursor();
    const Rect before = cursorArea(image, pointer_), now_ = cursorArea(image, position);
    for (const auto& s : streams) {
        if (!s->showCursor || !s->haveArea)
            continue;
        for (const Rect& r : {before, now_})
            if (const Rect piece = s->area.intersection(r); !piece.isEmpty())
                newShape ? markAll(*s) : markArea(*s, piece);
    }
    pointer_ = position;
}

const CursorImage& X11CaptureService::Worker::cursor() {
    if (!haveFixes_ || cursorRefused_) {
        cursorStale_ = false; // shape changes are not ours to see; the arrow stays
        return builtInArrow();
    }
    if (cursorStale_) {
        xcb_generic_error_t* error = nullptr;
        XcbReply<xcb_xfixes_get_cursor_image_reply_t> r(
            xcb_xfixes_get_cursor_image_reply(c_, xcb_xfixes_get_cursor_image(c_), &error));
        XcbError owned(error);
        cursorStale_ = false;
        if (!r) {
            // Xvfb refuses (BadAccess) once a client that set a root cursor has gone.
            captureLog().info("The X server refuses the cursor image; drawing a built-in arrow");
            cursorRefused_ = true;
            return builtInArrow();
        }
        cursorSerial_ = r->cursor_serial;
        cursorImage_.width = r->width;
        cursorImage_.height = r->height;
        cursorImage_.hotX = r->xhot;
        cursorImage_.hotY = r->yhot;
        const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(r.get());
        cursorImage_.pixels.assign(pixels, pixels + static_cast<std::size_t>(r->width) * r->height);
    }
    return cursorImage_.empty() ? builtInArrow() : cursorImage_;
}

bool X11CaptureService::Worker::displayAsleep(Clock::time_point now) {
    if (!haveDpms_ || now - lastDpmsCheck_ < kIdleInterval)
        return asleep_;
    lastDpmsCheck_ = now;
    XcbReply<xcb_dpms_info_reply_t> info(xcb_dpms_info_reply(c_, xcb_dpms_info(c_), nullptr));
    asleep_ = info && info->state && info->power_level != XCB_DPMS_DPMS_MODE_ON;
    return asleep_;
}

void X11CaptureService::Worker::serve(StreamState& s, Clock::time_point now) {
    if (!s.haveArea)
        return;
    const Monitor* m = layout_.find(s.display);
    const double rate = m && m->refreshRate > 0 ? m->refreshRate : kDefaultRefreshRate;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const bool changed = s.dirty || !haveDamage_;
    if (changed && now - s.lastFrame >= period) {
        if (displayAsleep(now)) {
            if (now - s.lastUpdate >= kIdleInterval) {
                s.delivery.post(FrameStatus::FrameBlank, nullptr);
                s.lastUpdate = now;
            }
            return;
        }
        s.dirty = false;
        if (auto frame = capture(s)) {
            s.delivery.post(FrameStatus::FrameComplete, std::move(frame));
            s.lastFrame = s.lastUpdate = now;
        }
        return;
    }
    if (!changed && now - s.lastUpdate >= kIdleInterval) {
        s.delivery.post(displayAsleep(now) ? FrameStatus::FrameBlank : FrameStatus::FrameIdle, nullptr);
        s.lastUpdate = now;
    }
}

FrameSurfacePtr X11CaptureService::Worker::capture(StreamState& s) {
    const auto started = Clock::now();
    const double sx = s.area.width / s.width, sy = s.area.height / s.height;
    const xcb_screen_t* screen = connection_.screen();
    const bool inside = s.area.x >= 0 && s.area.y >= 0 && s.area.maxX() <= screen->width_in_pixels &&
                        s.area.maxY() <= screen->height_in_pixels;
    const int k = static_cast<int>(std::lround(sx));
    const bool integral = std::abs(sx - k) < 0.01 && std::abs(sy - k) < 0.01 && k >= 1 && k <= 16;
    bool useFilter = false;
    switch (owner_.reduction_) {
    case Reduction::Automatic: useFilter = false; break; // measured: see the header
    case Reduction::AreaFilter: useFilter = integral; break;
    case Reduction::Render: useFilter = false; break;
    }
    if (k == 1 && integral)
        useFilter = true; // full size: a plain grab
    if (!haveRender_ && integral)
        useFilter = true;
    if (!inside && haveRender_)
        useFilter = false; // XRender reads outside the root as transparent; a grab would fail

    // The part of the frame to grab, in output pixels: all of it, or what changed
    // (and the cursor, which is drawn in afresh) when that is a small part.
    const OutputRect all{0, 0, s.width, s.height};
    OutputRect part = all;
    if (!s.dirtyAll && haveDamage_ && s.previous && !s.dirtyArea.isNull()) {
        Rect changed = s.dirtyArea;
        if (s.showCursor)
            changed = changed.unionWith(cursorArea(cursor(), pointer_));
        changed = changed.intersection(s.area);
        if (!changed.isNull() && changed.width * changed.height < kPartialShare * s.area.width * s.area.height)
            part = outputRect(changed, s, sx, sy, useFilter ? k : 1);
    }
    if (part.width == 0 || part.height == 0)
        part = all;
    const bool partial = !(part == all);

    auto surface = s.frames.take(); // every pixel is grabbed, or the rest copied below
    if (partial) // the rest is the last frame's
        std::memcpy(surface->mutableData(), s.previous->data(),
                    static_cast<std::size_t>(surface->stride()) * static_cast<std::size_t>(s.height));
    std::uint8_t* out = surface->mutableData() + part.y * surface->stride() + part.x * 4;
    bool ok = false;
    if (useFilter) {
        const int w = part.width * k, h = part.height * k;
        const std::uint8_t* pixels = grabber_.grab(connection_.root(), static_cast<int>(s.area.x) + part.x * k,
                                                   static_cast<int>(s.area.y) + part.y * k, w, h);
        if (pixels) {
            if (k == 1)
                copyOpaque(pixels, w * 4, out, surface->stride(), part.width, part.height);
            else
                boxReduce(pixels, w * 4, k, out, surface->stride(), part.width, part.height);
            ok = true;
        }
    } else if (haveRender_) {
        ok = reduceWithRender(s, *surface, sx, sy, part);
    }
    if (!ok)
        return nullptr;
    s.dirtyAll = false;
    s.dirtyArea = Rect::null();
    s.previous = surface;
    if (s.showCursor)
        drawCursor(*surface, cursor(), pointer_, s.area, sx, sy);
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count();
    {
        std::lock_guard lock(statsMutex_);
        ++stats_.frames;
        stats_.partialFrames += partial ? 1 : 0;
        stats_.grabNanoseconds += static_cast<std::uint64_t>(elapsed);
    }
    return surface;
}

bool X11CaptureService::Worker::reduceWithRender(StreamState& s, FrameSurface& out, double sx, double sy,
                                                 const OutputRect& part) {
    if (s.source == XCB_NONE) {
        const std::uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
        s.source = xcb_generate_id(c_);
        xcb_render_create_picture(c_, s.source, connection_.root(), rootFormat_, XCB_RENDER_CP_SUBWINDOW_MODE,
                                  &includeInferiors);
        // Destination pixel (x, y) samples the root at (sx * x + left, sy * y + top).
        const xcb_render_transform_t transform = {toFixed(sx), 0, toFixed(s.area.x), 0, toFixed(sy),
                                                  toFixed(s.area.y), 0, 0, toFixed(1)};
        xcb_render_set_picture_transform(c_, s.source, transform);
        static const char bilinear[] = "bilinear";
        xcb_render_set_picture_filter(c_, s.source, sizeof bilinear - 1, bilinear, 0, nullptr);
        s.pixmap = xcb_generate_id(c_);
        xcb_create_pixmap(c_, connection_.screen()->root_depth, s.pixmap, connection_.root(), s.width, s.height);
        s.target = xcb_generate_id(c_);
        xcb_render_create_picture(c_, s.target, s.pixmap, rootFormat_, 0, nullptr);
    }
    // The source offset goes through the same transform: a part samples exactly as
    // the whole frame would there.
    const auto x = static_cast<std::int16_t>(part.x), y = static_cast<std::int16_t>(part.y);
    xcb_render_composite(c_, XCB_RENDER_PICT_OP_SRC, s.source, XCB_NONE, s.target, x, y, 0, 0, x, y,
                         static_cast<std::uint16_t>(part.width), static_cast<std::uint16_t>(part.height));
    const std::uint8_t* pixels = grabber_.grab(s.pixmap, part.x, part.y, part.width, part.height);
    if (!pixels)
        return false;
    copyOpaque(pixels, part.width * 4, out.mutableData() + part.y * out.stride() + part.x * 4, out.stride(),
               part.width, part.height);
    return true;
}

void X11CaptureService::Worker::connectionLost(const std::vector<StatePtr>& streams) {
    captureLog().error("The connection to the X server was lost; every display stream stops");
    owner_.connectionLost_ = true;
    for (const auto& s : streams) {
        if (s->started && !s->ended)
            s->delivery.post(FrameStatus::Stopped, nullptr);
        s->ended = true;
    }
}

X11CaptureService::X11CaptureService(const char* displayName, Reduction reduction)
    : displayName_(displayName ? displayName : ""), reduction_(reduction) {
    Connection connection(displayName);
    if (!connection.ok()) {
        error_ = connection.error();
        return;
    }
    usesShm_ = shmUsable(connection.get());
    if (!usesShm_)
        captureLog().info("MIT-SHM is not available (a remote X server?): frames are read with GetImage");
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    worker_ = std::make_unique<Worker>(*this, std::move(connection));
    if (!worker_->setUp(error_)) {
        worker_.reset();
        return;
    }
    ok_ = true;
    thread_ = std::thread([this] { worker_->run(); });
}

X11CaptureService::~X11CaptureService() {
    if (worker_)
        worker_->requestStop();
    wake();
    if (thread_.joinable())
        thread_.join();
    worker_.reset();
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void X11CaptureService::wake() {
    if (wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
}

void X11CaptureService::setOwnWindowAreas(std::vector<Rect> areas) {
    {
        std::lock_guard lock(mutex_);
        if (areas == ownAreas_)
            return;
        ownAreas_ = std::move(areas);
        ++ownAreasVersion_;
    }
    wake();
}

std::optional<std::string> X11CaptureService::failure() const {
    if (!connectionLost_)
        return std::nullopt;
    return "the connection to the X server was lost";
}

CaptureStats X11CaptureService::stats() const { return worker_ ? worker_->stats() : CaptureStats{}; }

std::unique_ptr<CaptureStream> X11CaptureService::createStream(DisplayID display, std::int64_t width,
                                                               std::int64_t height, std::uint32_t pixelFormat,
                                                               const StreamProperties& properties,
                                                               std::shared_ptr<DispatchQueue> queue,
                                                               FrameHandler handler) {
    if (!ok_ || pixelFormat != kPixelFormatBGRA || width <= 0 || height <= 0 || width > 16384 || height > 16384)
        return nullptr;
    auto state = std::make_shared<StreamState>(display, static_cast<int>(width), static_cast<int>(height),
                                               properties.showCursor, std::move(queue), std::move(handler));
    {
        std::lock_guard lock(mutex_);
        streams_.push_back(state);
    }
    wake();
    return std::make_unique<ServedStream>(std::move(state), [this] { wake(); },
                                          [this](const ServedStreamState* gone) {
                                              std::lock_guard lock(mutex_);
                                              std::erase_if(streams_, [gone](const auto& s) { return s.get() == gone; });
                                          });
}

} // namespace overlook::x11
