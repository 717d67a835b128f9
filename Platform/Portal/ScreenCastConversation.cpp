#include "Platform/Portal/PortalInternals.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace overlook::portal {

void PortalCaptureService::Impl::pumpBus() {
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

int PortalCaptureService::Impl::onPortalOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    auto& self = *static_cast<Impl*>(data);
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || !after || *after)
        return 0;
    // Before any session, the next call starts the portal again; with sessions, their
    // streams end with it, and a picture would be written with displays missing.
    if (std::any_of(self.conversations.begin(), self.conversations.end(),
                    [](const auto& c) { return c->step != Conversation::Step::Ended; })) {
        self.fail("the desktop portal went away");
        self.stopEverything();
    }
    return 0;
}

bool PortalCaptureService::Impl::portalUsable() {
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
void PortalCaptureService::Impl::ask(const std::vector<DisplayID>& wanted, const wayland::OutputLayout& layout) {
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

std::string PortalCaptureService::Impl::nextToken() {
    return "overlook" + std::to_string(getpid()) + "_" + std::to_string(++serial);
}

// A portal request: the Response signal is subscribed before the call, at the
// path the handle token makes, so that no answer can come before we listen.
bool PortalCaptureService::Impl::request(Conversation& c, const char* method, const std::function<int(sd_bus_message*)>& arguments,
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
int PortalCaptureService::Impl::onCallReply(sd_bus_message* m, void* data, sd_bus_error*) {
    auto& c = *static_cast<Conversation*>(data);
    c.call.reset();
    if (sd_bus_message_is_method_error(m, nullptr))
        c.owner->endConversation(c, "the desktop portal refused screen capture: " +
                                        busError(sd_bus_message_get_error(m), EIO));
    return 0;
}

void PortalCaptureService::Impl::createSession(Conversation& c) {
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
bool PortalCaptureService::Impl::responseOk(Conversation& c, sd_bus_message* m, const char* step) {
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

int PortalCaptureService::Impl::onSessionCreated(sd_bus_message* m, void* data, sd_bus_error*) {
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

int PortalCaptureService::Impl::onSourcesSelected(sd_bus_message* m, void* data, sd_bus_error*) {
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

int PortalCaptureService::Impl::onStarted(sd_bus_message* m, void* data, sd_bus_error*) {
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

void PortalCaptureService::Impl::started(Conversation& c, const std::vector<Offered>& offered, const std::string& restoreToken) {
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
    if (!connectPipeWire(c, fd)) {
        endConversation(c, "");
        stopEverything();
        return;
    }

    for (std::size_t i = 0; i < offered.size(); ++i) {
        if (!mapped[i]) {
            portalLog().notice("The desktop portal's stream %u matches no display without a stream; it is not used",
                               offered[i].node);
            continue;
        }
        if (tokens && !restoreToken.empty())
            tokens->setToken(mapped[i], restoreToken);
        restoreRetries.erase(mapped[i]);
        connectFeed(c, mapped[i], offered[i].node, layout);
    }
    c.step = Conversation::Step::Running;
    // The user may have chosen another display than the one asked for (the
    // dialog cannot say which one that is): asked-for displays still without a
    // picture are asked for again, as long as each dialog gives some display its
    // picture. A dialog that gave none ends the asking: never a loop of dialogs.
    // A restored consent asks no one: one that gave nothing is tried again a few
    // times, as the portal may not know yet of an output that just came back.
    if (c.feeds.empty()) {
        for (DisplayID d : c.asked) {
            if (feedFor(d))
                continue;
            if (!c.restoreToken.empty() && restoreRetries[d] < kRestoreRetries) {
                ++restoreRetries[d];
                askNotBefore = Clock::now() + kRestoreRetryDelay;
                portalLog().notice("Display %u got no stream from its stored consent; asking again", d);
            } else {
                refuse(d, "the output chosen in the desktop's dialog is not this display");
            }
        }
        endConversation(c, "");
    }
    wake();
}

// Ends a conversation that did not get to stream. `why` empty: nothing to say
// (already said, or to be asked again). `refuseDisplays`: its displays are not
// asked for again.
bool PortalCaptureService::Impl::endConversation(Conversation& c, const std::string& why, bool refuseDisplays) {
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

int PortalCaptureService::Impl::onClosed(sd_bus_message*, void* data, sd_bus_error*) {
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

void PortalCaptureService::Impl::closeSession(Conversation& c) {
    c.closed.reset();
    if (c.handle.empty() || !bus)
        return;
    sd_bus_call_method_async(bus, nullptr, kPortal, c.handle.c_str(), "org.freedesktop.portal.Session", "Close",
                             nullptr, nullptr, "");
    c.handle.clear();
}

} // namespace overlook::portal
