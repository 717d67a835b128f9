#include "PortalCaptureService.h"

#include "Foundation/Logger.h"
#include "Platform/Portal/StreamMapping.h"
#include "Platform/Wayland/Copy.h"
#include "Tessera/FramePool.h"
#include "Tessera/ServedStream.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <spa/buffer/meta.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace overlook::portal {

namespace {

const Logger& portalLog() {
    static const Logger log(logs::kEngine, "Portal");
    return log;
}

using Clock = std::chrono::steady_clock;
constexpr auto kIdleInterval = std::chrono::seconds(1);
constexpr auto kTick = std::chrono::milliseconds(100); // idle updates, vanished nodes
// Streams are started together, one per display: waiting this long after the last
// one came lets a portal that shares several displays at once show one dialog.
constexpr auto kGathering = std::chrono::milliseconds(50);
constexpr auto kSnapshotTimeout = std::chrono::seconds(60);
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1, kCursorEmbedded = 2, kCursorMetadata = 4;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

struct BusMessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using BusMessagePtr = std::unique_ptr<sd_bus_message, BusMessageUnref>;

struct SlotUnref {
    void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

std::string busError(const sd_bus_error* e, int r) {
    if (e && sd_bus_error_is_set(e))
        return std::string(e->name) + (e->message ? std::string(": ") + e->message : std::string());
    return std::strerror(r < 0 ? -r : r);
}

// Appends one "{sv}" entry.
template <typename... V> int entry(sd_bus_message* m, const char* key, const char* type, V... value) {
    return sd_bus_message_append(m, "{sv}", key, type, value...);
}

} // namespace

// What the service's thread knows of one display stream beyond what every served stream has.
struct StreamState : ServedStreamState {
    StreamState(DisplayID display, int width, int height, bool showCursor, std::shared_ptr<DispatchQueue> queue,
                FrameHandler handler)
        : ServedStreamState(display, width, height, showCursor, std::move(queue), std::move(handler)),
          frames(width, height) {}
    bool wasStarted = false;
    std::uint64_t startsSeen = 0;
    bool stopSent = false;
    bool served = false; // has had a frame since it was started
    Clock::time_point lastUpdate{};
    FramePool frames;
};

struct Conversation;

// One PipeWire stream of a ScreenCast session: the picture of one display.
struct Feed {
    PortalCaptureService::Impl* owner = nullptr;
    Conversation* conversation = nullptr;
    DisplayID display = 0;
    std::uint32_t node = 0;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    spa_video_info_raw format{};
    bool haveFormat = false;
    bool gone = false;
    bool active = true;
    // Portals send a frame only when something changed: the newest buffer is kept
    // out of the pool until a newer one comes, and a stream that joins a running
    // feed (a snapshot during a preview) is served from it. Given back when the
    // feed pauses: it would be stale when it resumes.
    pw_buffer* held = nullptr;

    ~Feed() {
        if (stream) {
            spa_hook_remove(&listener);
            pw_stream_destroy(stream);
        }
    }
};

// One ScreenCast session, from CreateSession to its PipeWire streams.
struct Conversation {
    enum class Step { CreateSession, SelectSources, Start, Running, Ended };
    PortalCaptureService::Impl* owner = nullptr;
    Step step = Step::CreateSession;
    std::vector<DisplayID> asked; // the displays it was opened for, the wanted one first
    std::string restoreToken;     // what it was restored with, "" for a fresh consent
    std::string handle;           // the session object
    SlotPtr call, response, closed;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    std::vector<std::unique_ptr<Feed>> feeds;

    ~Conversation() {
        feeds.clear();
        if (registry) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
        if (core) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
        }
    }
};

struct PortalCaptureService::Impl {
    std::shared_ptr<wayland::Session> outputs;
    std::shared_ptr<RestoreTokenStore> tokens;

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    sd_bus* bus = nullptr;
    spa_source* busSource = nullptr;
    spa_source* wakeSource = nullptr;
    spa_source* tickSource = nullptr;
    spa_source* gatherSource = nullptr;
    std::string sender; // the bus's unique name as the portal's object paths spell it
    std::uint32_t portalVersion = 0, cursorModes = 0;
    bool checkedPortal = false;
    std::uint64_t serial = 0;

    mutable std::mutex mutex; // guards streams, failure, stats, cursor
    std::vector<std::shared_ptr<StreamState>> streams;
    std::optional<std::string> failure;
    PortalStats stats;
    std::optional<Point> cursor;

    // The loop thread's own.
    std::vector<std::shared_ptr<StreamState>> known;
    std::vector<std::unique_ptr<Conversation>> conversations;
    std::map<DisplayID, std::string> refused; // display -> why it is not captured
    std::vector<DisplayID> gathering;         // displays waiting for a session, since gatheredAt
    Clock::time_point gatheredAt{};

    // --- set-up and the loop --------------------------------------------------

    bool setUp() {
        pw_init(nullptr, nullptr);
        loop = pw_thread_loop_new("overlook-portal", nullptr);
        if (!loop)
            return fail("PipeWire could not make its loop");
        pw_loop* l = pw_thread_loop_get_loop(loop);
        context = pw_context_new(l, nullptr, 0);
        if (!context)
            return fail("PipeWire could not make a context");
        if (const int r = sd_bus_open_user(&bus); r < 0)
            return fail(std::string("no session bus to reach the desktop portal: ") + std::strerror(-r));
        const char* unique = nullptr;
        if (sd_bus_get_unique_name(bus, &unique) < 0 || !unique)
            return fail("the session bus gave no name");
        sender = unique + 1; // ":1.42" -> "1_42"
        std::replace(sender.begin(), sender.end(), '.', '_');
        busSource = pw_loop_add_io(l, sd_bus_get_fd(bus), SPA_IO_IN, false, &Impl::onBus, this);
        wakeSource = pw_loop_add_event(l, &Impl::onWake, this);
        tickSource = pw_loop_add_timer(l, &Impl::onTick, this);
        gatherSource = pw_loop_add_timer(l, &Impl::onTick, this);
        timespec tick{0, std::chrono::duration_cast<std::chrono::nanoseconds>(kTick).count()};
        pw_loop_update_timer(l, tickSource, &tick, &tick, false);
        if (pw_thread_loop_start(loop) < 0)
            return fail("PipeWire could not start its thread");
        return true;
    }

    bool fail(std::string message) {
        std::lock_guard lock(mutex);
        if (!failure) {
            portalLog().error("%s", message.c_str());
            failure = std::move(message);
        }
        return false;
    }

    void tearDown() {
        if (loop) {
            pw_thread_loop_lock(loop);
            for (const auto& c : conversations)
                closeSession(*c);
            conversations.clear();
            known.clear();
            pw_loop* l = pw_thread_loop_get_loop(loop);
            for (spa_source* s : {busSource, wakeSource, tickSource, gatherSource})
                if (s)
                    pw_loop_destroy_source(l, s);
            if (bus)
                sd_bus_flush(bus);
            pw_thread_loop_unlock(loop);
            pw_thread_loop_stop(loop);
        }
        if (bus)
            sd_bus_flush_close_unref(bus);
        if (context)
            pw_context_destroy(context);
        if (loop)
            pw_thread_loop_destroy(loop);
        pw_deinit();
    }

    void wake() {
        if (loop && wakeSource)
            pw_loop_signal_event(pw_thread_loop_get_loop(loop), wakeSource);
    }

    static void onBus(void* data, int, std::uint32_t) {
        auto* self = static_cast<Impl*>(data);
        self->pumpBus();
        self->turn();
    }
    static void onWake(void* data, std::uint64_t) { static_cast<Impl*>(data)->turn(); }
    static void onTick(void* data, std::uint64_t) {
        auto* self = static_cast<Impl*>(data);
        self->pumpBus(); // method call timeouts
        self->turn();
    }

    void pumpBus() {
        if (!bus)
            return;
        for (;;) {
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                fail(std::string("the connection to the session bus was lost: ") + std::strerror(-r));
                stopEverything();
                return;
            }
            if (r == 0)
                break;
        }
        sd_bus_flush(bus);
    }

    // --- display streams ------------------------------------------------------

    Feed* feedFor(DisplayID display) {
        for (const auto& c : conversations)
            for (const auto& f : c->feeds)
                if (f->display == display)
                    return f.get();
        return nullptr;
    }

    void stopStream(StreamState& s) {
        if (!s.stopSent) {
            s.stopSent = true;
            s.delivery.post(FrameStatus::Stopped, nullptr);
        }
    }

    void stopEverything() {
        for (const auto& s : known)
            if (s->started)
                stopStream(*s);
    }

    void turn() {
        const auto now = Clock::now();
        std::vector<std::shared_ptr<StreamState>> current;
        bool failed;
        {
            std::lock_guard lock(mutex);
            current = streams;
            failed = failure.has_value();
        }
        known = current;
        const wayland::OutputLayout layout = outputs->layout();
        std::vector<DisplayID> wanted;
        for (const auto& s : current) {
            const bool started = s->started.load();
            const std::uint64_t starts = s->starts.load();
            if (started && (!s->wasStarted || starts != s->startsSeen)) {
                s->stopSent = false;
                s->served = false;
                s->lastUpdate = now;
                s->frames.forgetLastPicture(); // the first frame is delivered even if nothing changed
            }
            s->wasStarted = started;
            s->startsSeen = starts;
            if (!started || s->removed)
                continue;
            Feed* feed = feedFor(s->display);
            if (failed || !layout.find(s->display) || refused.count(s->display) || (feed && feed->gone)) {
                stopStream(*s);
                continue;
            }
            if (!feed) {
                if (std::find(wanted.begin(), wanted.end(), s->display) == wanted.end())
                    wanted.push_back(s->display);
                continue;
            }
            if (!s->served && feed->held && feed->active && feed->haveFormat)
                deliver(*feed, *feed->held->buffer, s.get());
            if (now - s->lastUpdate >= kIdleInterval) {
                s->delivery.post(FrameStatus::FrameIdle, nullptr);
                s->lastUpdate = now;
            }
        }
        // Streams nobody is looking at are paused.
        for (const auto& c : conversations)
            for (const auto& f : c->feeds) {
                bool needed = false;
                for (const auto& s : current)
                    needed |= s->display == f->display && s->started && !s->removed;
                if (f->stream && !f->gone && needed != f->active) {
                    f->active = needed;
                    if (!needed && f->held) {
                        pw_stream_queue_buffer(f->stream, f->held);
                        f->held = nullptr;
                    }
                    pw_stream_set_active(f->stream, needed);
                }
            }
        // Sessions gone for good are dropped; their displays stay refused or may be asked again.
        std::erase_if(conversations, [](const std::unique_ptr<Conversation>& c) {
            return c->step == Conversation::Step::Ended;
        });
        if (failed || wanted.empty()) {
            gathering.clear();
            return;
        }
        if (wanted != gathering) {
            gathering = wanted;
            gatheredAt = now;
        }
        if (const auto waited = now - gatheredAt; waited < kGathering) {
            const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(kGathering - waited).count();
            timespec once{0, long(rest)}, never{0, 0};
            pw_loop_update_timer(pw_thread_loop_get_loop(loop), gatherSource, &once, &never, false);
            return;
        }
        ask(wanted, layout);
    }

    // --- the ScreenCast conversation -----------------------------------------

    bool portalUsable() {
        if (checkedPortal)
            return true;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::uint32_t types = 0;
        int r = sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, "AvailableSourceTypes", &error, 'u',
                                            &types);
        if (r < 0) {
            const bool noPortal = sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                                  sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
            const std::string detail = busError(&error, r);
            sd_bus_error_free(&error);
            if (noPortal)
                return fail("no desktop portal on the session bus (org.freedesktop.portal.Desktop): install "
                            "xdg-desktop-portal and the portal back end of this desktop (" + detail + ")");
            return fail("the desktop portal offers no screen capture (org.freedesktop.portal.ScreenCast): install "
                        "the portal back end of this desktop, such as xdg-desktop-portal-gnome, -kde or -wlr (" +
                        detail + ")");
        }
        if (!(types & kSourceMonitor))
            return fail("the desktop portal cannot capture whole displays (it offers no monitor sources)");
        sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, "version", nullptr, 'u', &portalVersion);
        sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, "AvailableCursorModes", nullptr, 'u',
                                    &cursorModes);
        checkedPortal = true;
        return true;
    }

    // Opens one session, at most one at a time so that dialogs never pile up.
    void ask(const std::vector<DisplayID>& wanted, const wayland::OutputLayout& layout) {
        for (const auto& c : conversations)
            if (c->step != Conversation::Step::Running)
                return;
        if (!portalUsable()) {
            stopEverything();
            return;
        }
        auto c = std::make_unique<Conversation>();
        c->owner = this;
        // Displays with a stored consent are restored first, each with its own token
        // (a session restored from a token brings back what the user chose then).
        for (DisplayID d : wanted)
            if (tokens && !tokens->token(d).empty()) {
                c->restoreToken = tokens->token(d);
                for (DisplayID other : wanted)
                    if (tokens->token(other) == c->restoreToken)
                        c->asked.push_back(other);
                break;
            }
        if (c->asked.empty())
            for (DisplayID d : wanted)
                if (!tokens || tokens->token(d).empty())
                    c->asked.push_back(d);
        (void)layout;
        Conversation* raw = c.get();
        conversations.push_back(std::move(c));
        createSession(*raw);
    }

    std::string nextToken() { return "overlook" + std::to_string(getpid()) + "_" + std::to_string(++serial); }

    // A portal request: the Response signal is subscribed before the call, at the
    // path the handle token makes, so that no answer can come before we listen.
    bool request(Conversation& c, const char* method, const std::function<int(sd_bus_message*)>& arguments,
                 const std::function<int(sd_bus_message*)>& options, sd_bus_message_handler_t onResponse) {
        const std::string token = nextToken();
        const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_match_signal(bus, &slot, kPortal, path.c_str(), "org.freedesktop.portal.Request", "Response",
                                    onResponse, &c);
        if (r < 0)
            return endConversation(c, std::string("the portal's answer cannot be awaited: ") + std::strerror(-r));
        c.response.reset(slot);
        sd_bus_message* raw = nullptr;
        r = sd_bus_message_new_method_call(bus, &raw, kPortal, kPortalPath, kScreenCast, method);
        BusMessagePtr m(raw);
        if (r >= 0)
            r = arguments(m.get());
        if (r >= 0)
            r = sd_bus_message_open_container(m.get(), 'a', "{sv}");
        if (r >= 0)
            r = entry(m.get(), "handle_token", "s", token.c_str());
        if (r >= 0)
            r = options(m.get());
        if (r >= 0)
            r = sd_bus_message_close_container(m.get());
        slot = nullptr;
        if (r >= 0)
            r = sd_bus_call_async(bus, &slot, m.get(), &Impl::onCallReply, &c, 0);
        if (r < 0)
            return endConversation(c, std::string("the portal could not be asked (") + method + "): " +
                                          std::strerror(-r));
        c.call.reset(slot);
        return true;
    }

    // A call that fails never sends its Response.
    static int onCallReply(sd_bus_message* m, void* data, sd_bus_error*) {
        auto& c = *static_cast<Conversation*>(data);
        c.call.reset();
        if (sd_bus_message_is_method_error(m, nullptr))
            c.owner->endConversation(c, "the desktop portal refused screen capture: " +
                                            busError(sd_bus_message_get_error(m), EIO));
        return 0;
    }

    void createSession(Conversation& c) {
        c.step = Conversation::Step::CreateSession;
        const std::string sessionToken = nextToken();
        c.handle = "/org/freedesktop/portal/desktop/session/" + sender + "/" + sessionToken;
        sd_bus_slot* slot = nullptr;
        // The portal ends a session with Closed (GNOME when the user stops sharing).
        if (sd_bus_match_signal(bus, &slot, kPortal, c.handle.c_str(), "org.freedesktop.portal.Session", "Closed",
                                &Impl::onClosed, &c) >= 0)
            c.closed.reset(slot);
        request(
            c, "CreateSession", [](sd_bus_message*) { return 0; },
            [&](sd_bus_message* m) { return entry(m, "session_handle_token", "s", sessionToken.c_str()); },
            &Impl::onSessionCreated);
    }

    // Reads a Response's code; false (and the conversation ended) unless it is 0.
    static bool responseOk(Conversation& c, sd_bus_message* m, const char* step) {
        c.response.reset();
        std::uint32_t code = 2;
        sd_bus_message_read(m, "u", &code);
        if (code == 0)
            return true;
        Impl& self = *c.owner;
        if (code == 1) {
            const char* why = "screen capture was not allowed: the desktop's dialog was cancelled";
            self.endConversation(c, why, true);
            // Nothing captured at all: the service has nothing left to show, and says why.
            if (std::none_of(self.conversations.begin(), self.conversations.end(),
                             [](const auto& other) { return !other->feeds.empty(); }))
                self.fail(why);
        } else if (!c.restoreToken.empty()) {
            // A consent that no longer works is forgotten; the next session asks again.
            portalLog().notice("The desktop portal did not restore a stored consent (%s); asking again", step);
            for (DisplayID d : c.asked)
                if (self.tokens && self.tokens->token(d) == c.restoreToken)
                    self.tokens->setToken(d, "");
            self.endConversation(c, "", false);
        } else {
            self.endConversation(c, std::string("the desktop portal could not start screen capture (") + step + ")");
        }
        return false;
    }

    static int onSessionCreated(sd_bus_message* m, void* data, sd_bus_error*) {
        auto& c = *static_cast<Conversation*>(data);
        if (!responseOk(c, m, "CreateSession"))
            return 0;
        Impl& self = *c.owner;
        c.step = Conversation::Step::SelectSources;
        std::uint32_t cursorMode = (self.cursorModes & kCursorMetadata)   ? kCursorMetadata
                                   : (self.cursorModes & kCursorEmbedded) ? kCursorEmbedded
                                                                          : kCursorHidden;
        self.request(
            c, "SelectSources",
            [&c](sd_bus_message* msg) { return sd_bus_message_append(msg, "o", c.handle.c_str()); },
            [&c, &self, cursorMode](sd_bus_message* msg) {
                int r = entry(msg, "types", "u", kSourceMonitor);
                if (r >= 0)
                    r = entry(msg, "multiple", "b", c.asked.size() > 1);
                if (r >= 0 && self.cursorModes)
                    r = entry(msg, "cursor_mode", "u", cursorMode);
                if (r >= 0 && self.portalVersion >= 4) {
                    r = entry(msg, "persist_mode", "u", kPersistUntilRevoked);
                    if (r >= 0 && !c.restoreToken.empty())
                        r = entry(msg, "restore_token", "s", c.restoreToken.c_str());
                }
                return r;
            },
            &Impl::onSourcesSelected);
        return 0;
    }

    static int onSourcesSelected(sd_bus_message* m, void* data, sd_bus_error*) {
        auto& c = *static_cast<Conversation*>(data);
        if (!responseOk(c, m, "SelectSources"))
            return 0;
        c.step = Conversation::Step::Start;
        c.owner->request(
            c, "Start",
            [&c](sd_bus_message* msg) { return sd_bus_message_append(msg, "os", c.handle.c_str(), ""); },
            [](sd_bus_message*) { return 0; }, &Impl::onStarted);
        return 0;
    }

    struct Offered {
        std::uint32_t node = 0;
        StreamPlace place;
    };

    static int onStarted(sd_bus_message* m, void* data, sd_bus_error*) {
        auto& c = *static_cast<Conversation*>(data);
        if (!responseOk(c, m, "Start"))
            return 0;
        std::vector<Offered> offered;
        std::string restoreToken;
        if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
            while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
                const char* key = nullptr;
                sd_bus_message_read(m, "s", &key);
                const std::string k = key ? key : "";
                if (k == "streams" && sd_bus_message_enter_container(m, 'v', "a(ua{sv})") > 0) {
                    sd_bus_message_enter_container(m, 'a', "(ua{sv})");
                    while (sd_bus_message_enter_container(m, 'r', "ua{sv}") > 0) {
                        Offered o;
                        sd_bus_message_read(m, "u", &o.node);
                        sd_bus_message_enter_container(m, 'a', "{sv}");
                        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
                            const char* property = nullptr;
                            sd_bus_message_read(m, "s", &property);
                            std::int32_t x = 0, y = 0;
                            if (property && std::strcmp(property, "position") == 0 &&
                                sd_bus_message_read(m, "v", "(ii)", &x, &y) >= 0)
                                o.place.position = Point{double(x), double(y)};
                            else if (property && std::strcmp(property, "size") == 0 &&
                                     sd_bus_message_read(m, "v", "(ii)", &x, &y) >= 0)
                                o.place.size = Size{double(x), double(y)};
                            else
                                sd_bus_message_skip(m, "v");
                            sd_bus_message_exit_container(m);
                        }
                        sd_bus_message_exit_container(m);
                        sd_bus_message_exit_container(m);
                        offered.push_back(o);
                    }
                    sd_bus_message_exit_container(m);
                    sd_bus_message_exit_container(m);
                } else if (k == "restore_token") {
                    const char* t = nullptr;
                    if (sd_bus_message_read(m, "v", "s", &t) >= 0 && t)
                        restoreToken = t;
                } else {
                    sd_bus_message_skip(m, "v");
                }
                sd_bus_message_exit_container(m);
            }
        }
        c.owner->started(c, offered, restoreToken);
        return 0;
    }

    void started(Conversation& c, const std::vector<Offered>& offered, const std::string& restoreToken) {
        if (offered.empty()) {
            endConversation(c, "the desktop portal started screen capture without a stream");
            return;
        }
        // Match the streams to displays: the ones asked for first, then any other
        // display without a stream (the user may have chosen another one).
        const wayland::OutputLayout layout = outputs->layout();
        std::vector<DisplayPlace> places;
        auto add = [&](const wayland::Output& o, bool asked) {
            if (std::none_of(places.begin(), places.end(), [&](const DisplayPlace& p) { return p.id == o.id; }))
                places.push_back({o.id, o.logical, Size{double(o.pixelWidth), double(o.pixelHeight)}, asked});
        };
        for (DisplayID d : c.asked)
            if (const wayland::Output* o = layout.find(d))
                add(*o, true);
        for (const wayland::Output& o : layout.outputs)
            add(o, false);
        std::vector<DisplayID> taken;
        for (const auto& other : conversations)
            for (const auto& f : other->feeds)
                if (!f->gone)
                    taken.push_back(f->display);
        std::vector<StreamPlace> streamPlaces;
        for (const Offered& o : offered)
            streamPlaces.push_back(o.place);
        const std::vector<DisplayID> mapped = mapStreams(streamPlaces, places, taken);

        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(bus, kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote", &error, &reply,
                                   "oa{sv}", c.handle.c_str(), 0);
        BusMessagePtr replyOwner(reply);
        int fd = -1;
        if (r >= 0 && sd_bus_message_read(reply, "h", &fd) >= 0)
            fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) {
            const std::string detail = busError(&error, r);
            sd_bus_error_free(&error);
            fail("PipeWire is not running, or the desktop portal cannot reach it (" + detail + ")");
            endConversation(c, "");
            stopEverything();
            return;
        }
        c.core = pw_context_connect_fd(context, fd, nullptr, 0); // takes the descriptor
        if (!c.core) {
            fail(std::string("PipeWire is not running: ") + std::strerror(errno));
            endConversation(c, "");
            stopEverything();
            return;
        }
        static const pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
                auto& c = *static_cast<Conversation*>(data);
                if (id == PW_ID_CORE && res == -EPIPE) {
                    portalLog().error("The connection to PipeWire was lost (%s)", message ? message : "");
                    for (const auto& f : c.feeds)
                        f->gone = true;
                }
            };
            return e;
        }();
        pw_core_add_listener(c.core, &c.coreListener, &coreEvents, &c);
        // A display unplugged ends its node without a word from the portal.
        c.registry = pw_core_get_registry(c.core, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global_remove = [](void* data, std::uint32_t id) {
                auto& c = *static_cast<Conversation*>(data);
                for (const auto& f : c.feeds)
                    if (f->node == id && !f->gone) {
                        f->gone = true;
                        portalLog().info("The PipeWire stream of display %u is gone; its stream ends", f->display);
                    }
            };
            return e;
        }();
        pw_registry_add_listener(c.registry, &c.registryListener, &registryEvents, &c);

        for (std::size_t i = 0; i < offered.size(); ++i) {
            if (!mapped[i]) {
                portalLog().notice("The desktop portal's stream %u matches no display without a stream; it is not used",
                                   offered[i].node);
                continue;
            }
            if (tokens && !restoreToken.empty())
                tokens->setToken(mapped[i], restoreToken);
            connectFeed(c, mapped[i], offered[i].node, layout);
        }
        c.step = Conversation::Step::Running;
        // The user may have chosen another display than the one asked for (the
        // dialog cannot say which one that is): asked-for displays still without a
        // picture are asked for again, as long as each dialog gives some display its
        // picture. A dialog that gave none ends the asking: never a loop of dialogs.
        if (c.feeds.empty()) {
            for (DisplayID d : c.asked)
                if (!feedFor(d))
                    refuse(d, "the output chosen in the desktop's dialog is not this display");
            endConversation(c, "");
        }
        wake();
    }

    void connectFeed(Conversation& c, DisplayID display, std::uint32_t node, const wayland::OutputLayout& layout) {
        auto feed = std::make_unique<Feed>();
        feed->owner = this;
        feed->conversation = &c;
        feed->display = display;
        feed->node = node;
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Screen", nullptr);
        feed->stream = pw_stream_new(c.core, "overlook", props);
        if (!feed->stream) {
            refuse(display, "PipeWire refused a stream");
            return;
        }
        static const pw_stream_events streamEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
                auto& f = *static_cast<Feed*>(data);
                if ((state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) && !f.gone) {
                    f.gone = true;
                    portalLog().info("The PipeWire stream of display %u ended (%s)", f.display, error ? error : "");
                    f.owner->wake();
                }
            };
            e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
                static_cast<Feed*>(data)->owner->formatChanged(*static_cast<Feed*>(data), id, param);
            };
            e.process = [](void* data) { static_cast<Feed*>(data)->owner->process(*static_cast<Feed*>(data)); };
            e.remove_buffer = [](void* data, pw_buffer* buffer) {
                auto& f = *static_cast<Feed*>(data);
                if (f.held == buffer)
                    f.held = nullptr;
            };
            return e;
        }();
        pw_stream_add_listener(feed->stream, &feed->listener, &streamEvents, feed.get());

        double rate = 60;
        if (const wayland::Output* o = layout.find(display); o && o->refreshRate > 0)
            rate = o->refreshRate;
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384),
                            defSize = SPA_RECTANGLE(1920, 1080);
        const spa_fraction noRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(std::uint32_t(rate + 0.5), 1);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                   SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
            // Frames come when something changed, at most at the display's rate.
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&noRate), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &noRate, &maxRate)));
        const int r = pw_stream_connect(feed->stream, PW_DIRECTION_INPUT, node,
                                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                     PW_STREAM_FLAG_MAP_BUFFERS |
                                                                     PW_STREAM_FLAG_DONT_RECONNECT),
                                        params, 1);
        if (r < 0) {
            refuse(display, std::string("PipeWire could not connect the stream: ") + std::strerror(-r));
            return;
        }
        c.feeds.push_back(std::move(feed));
    }

    void formatChanged(Feed& f, std::uint32_t id, const spa_pod* param) {
        if (!param || id != SPA_PARAM_Format)
            return;
        std::uint32_t mediaType = 0, mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
            mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        f.haveFormat = spa_format_video_raw_parse(param, &f.format) >= 0;
        // Shared memory only: a DMA-BUF cannot be read honestly without a GPU.
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[3];
        std::uint32_t count = 0;
        // One buffer more than the producer needs: we hold one.
        params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 3, 16), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        if (cursorModes & kCursorMetadata)
            params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
                SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(CURSOR_META_SIZE(64, 64), CURSOR_META_SIZE(1, 1), CURSOR_META_SIZE(256, 256))));
        pw_stream_update_params(f.stream, params, count);
    }

    static constexpr std::size_t CURSOR_META_SIZE(int w, int h) {
        return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + std::size_t(w) * h * 4;
    }

    void process(Feed& f) {
        // Only the newest buffer counts; older ones go straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* b = pw_stream_dequeue_buffer(f.stream)) {
            if (newest)
                pw_stream_queue_buffer(f.stream, newest);
            newest = b;
        }
        if (!newest)
            return;
        if (!deliver(f, *newest->buffer)) {
            pw_stream_queue_buffer(f.stream, newest);
            return;
        }
        if (f.held)
            pw_stream_queue_buffer(f.stream, f.held);
        f.held = newest;
    }

    // To every started stream of the feed's display, or to `only`; false when the
    // buffer holds no picture.
    bool deliver(Feed& f, spa_buffer& buffer, StreamState* only = nullptr) {
        if (auto* cursorMeta = static_cast<spa_meta_cursor*>(
                spa_buffer_find_meta_data(&buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
            cursorMeta && spa_meta_cursor_is_valid(cursorMeta)) {
            const wayland::OutputLayout layout = outputs->layout();
            const std::int32_t x = cursorMeta->position.x, y = cursorMeta->position.y;
            // Every stream reports the cursor; only the one it is over places it.
            if (const wayland::Output* o = layout.find(f.display);
                o && f.haveFormat && x >= 0 && y >= 0 && std::uint32_t(x) < f.format.size.width &&
                std::uint32_t(y) < f.format.size.height) {
                const double sx = o->logical.width / f.format.size.width;
                const double sy = o->logical.height / f.format.size.height;
                std::lock_guard lock(mutex);
                cursor = Point{o->logical.x + x * sx, o->logical.y + y * sy};
            }
        }
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
            header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED))
            return false;
        if (!f.haveFormat || buffer.n_datas < 1)
            return false;
        const spa_data& d = buffer.datas[0];
        const int width = int(f.format.size.width), height = int(f.format.size.height);
        if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) || width <= 0 ||
            height <= 0)
            return false; // a cursor-only update, or nothing new
        const int stride = d.chunk->stride ? d.chunk->stride : width * 4;
        if (std::size_t(d.chunk->offset) + std::size_t(stride) * height > d.maxsize)
            return false;
        const auto* pixels = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset;
        const bool swapRedBlue = f.format.format == SPA_VIDEO_FORMAT_RGBx || f.format.format == SPA_VIDEO_FORMAT_RGBA;
        const auto now = Clock::now();
        for (const auto& s : known) {
            if (s->display != f.display || !s->started || s->removed || (only && s.get() != only))
                continue;
            std::shared_ptr<FrameSurface> surface = s->frames.take();
            wayland::reduceInto(pixels, width, height, stride, false, 0, *surface); // PipeWire frames come upright
            if (swapRedBlue)
                for (int y = 0; y < surface->height(); ++y) {
                    std::uint32_t* row = surface->mutableRow(y);
                    for (int x = 0; x < surface->width(); ++x) {
                        const std::uint32_t p = row[x];
                        row[x] = (p & 0xFF00FF00u) | ((p & 0xFFu) << 16) | ((p >> 16) & 0xFFu);
                    }
                }
            // The desktop sends a frame for every damaged commit, also for the
            // preview's own redraws: a picture equal to the last one is no change.
            const bool changed = s->frames.isNewPicture(surface);
            {
                std::lock_guard lock(mutex);
                ++stats.buffers;
                if (changed)
                    ++stats.frames;
                stats.reduceNanoseconds += std::uint64_t(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - now).count());
            }
            if (!changed)
                continue;
            s->delivery.post(FrameStatus::FrameComplete, std::move(surface));
            s->lastUpdate = now;
            s->stopSent = false;
            s->served = true;
        }
        return true;
    }

    void refuse(DisplayID display, const std::string& why) {
        if (refused.emplace(display, why).second)
            portalLog().error("Display %u is not captured: %s", display, why.c_str());
    }

    // Ends a conversation that did not get to stream. `why` empty: nothing to say
    // (already said, or to be asked again). `refuseDisplays`: its displays are not
    // asked for again.
    bool endConversation(Conversation& c, const std::string& why, bool refuseDisplays = true) {
        c.call.reset();
        c.response.reset();
        if (!why.empty() && refuseDisplays)
            for (DisplayID d : c.asked)
                if (!feedFor(d))
                    refuse(d, why);
        if (c.step != Conversation::Step::Running)
            closeSession(c);
        c.step = Conversation::Step::Ended;
        wake();
        return false;
    }

    static int onClosed(sd_bus_message*, void* data, sd_bus_error*) {
        auto& c = *static_cast<Conversation*>(data);
        c.closed.reset();
        Impl& self = *c.owner;
        portalLog().error("The desktop portal ended screen capture");
        for (const auto& f : c.feeds)
            self.refused.emplace(f->display, "the desktop portal ended screen capture");
        for (const auto& s : self.known)
            if (self.refused.count(s->display) && s->started)
                self.stopStream(*s);
        c.handle.clear(); // nothing left to close
        c.step = Conversation::Step::Ended;
        self.wake();
        return 0;
    }

    void closeSession(Conversation& c) {
        c.closed.reset();
        if (c.handle.empty() || !bus)
            return;
        sd_bus_call_method_async(bus, nullptr, kPortal, c.handle.c_str(), "org.freedesktop.portal.Session", "Close",
                                 nullptr, nullptr, "");
        c.handle.clear();
    }
};

PortalCaptureService::PortalCaptureService(std::shared_ptr<wayland::Session> outputs,
                                           std::shared_ptr<RestoreTokenStore> tokens)
    : impl_(std::make_unique<Impl>()) {
    impl_->outputs = std::move(outputs);
    impl_->tokens = std::move(tokens);
    impl_->setUp();
}

PortalCaptureService::~PortalCaptureService() { impl_->tearDown(); }

std::optional<std::string> PortalCaptureService::failure() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->failure;
}

std::optional<Point> PortalCaptureService::pointer() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->cursor;
}

FrameSurfacePtr PortalCaptureService::snapshot(DisplayID id) {
    const wayland::OutputLayout layout = impl_->outputs->layout();
    const wayland::Output* o = layout.find(id);
    if (!o)
        return nullptr;
    const Size size = wayland::uprightSize(o->pixelWidth, o->pixelHeight, o->transform);
    // A stream of its own at full size: it shares the display's session, so a
    // running preview's consent serves, and it ends with its first frame.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        FrameSurfacePtr surface;
    };
    auto outcome = std::make_shared<Outcome>();
    auto queue = std::make_shared<DispatchQueue>("io.overlook.portal.snapshot");
    StreamProperties properties;
    properties.showCursor = false;
    auto stream = createStream(id, std::int64_t(size.width), std::int64_t(size.height), kPixelFormatBGRA, properties,
                               queue, [outcome](FrameStatus status, FrameSurfacePtr surface) {
                                   if (status != FrameStatus::FrameComplete && status != FrameStatus::Stopped)
                                       return;
                                   std::lock_guard lock(outcome->mutex);
                                   if (!outcome->answered) {
                                       outcome->answered = true;
                                       outcome->surface = std::move(surface);
                                   }
                                   outcome->done.notify_all();
                               });
    if (!stream)
        return nullptr;
    stream->start();
    FrameSurfacePtr result;
    {
        std::unique_lock lock(outcome->mutex);
        if (!outcome->done.wait_for(lock, kSnapshotTimeout, [&] { return outcome->answered; }))
            portalLog().error("No picture of display %u came through the desktop portal in time (it sends one "
                              "when something on the display changes)",
                              id);
        result = outcome->surface;
    }
    stream.reset();
    queue->shutdown(DispatchQueue::Shutdown::DropPending);
    return result;
}

PortalStats PortalCaptureService::stats() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->stats;
}

std::unique_ptr<CaptureStream> PortalCaptureService::createStream(DisplayID display, std::int64_t width,
                                                                  std::int64_t height, std::uint32_t pixelFormat,
                                                                  const StreamProperties& properties,
                                                                  std::shared_ptr<DispatchQueue> queue,
                                                                  FrameHandler handler) {
    if (pixelFormat != kPixelFormatBGRA || width <= 0 || height <= 0 || width > 16384 || height > 16384)
        return nullptr;
    auto state = std::make_shared<StreamState>(display, static_cast<int>(width), static_cast<int>(height),
                                               properties.showCursor, std::move(queue), std::move(handler));
    {
        std::lock_guard lock(impl_->mutex);
        impl_->streams.push_back(state);
    }
    Impl* impl = impl_.get();
    impl->wake();
    return std::make_unique<ServedStream>(std::move(state), [impl] { impl->wake(); },
                                          [impl](const ServedStreamState* gone) {
                                              std::lock_guard lock(impl->mutex);
                                              std::erase_if(impl->streams,
                                                            [gone](const auto& s) { return s.get() == gone; });
                                          });
}

} // namespace overlook::portal
