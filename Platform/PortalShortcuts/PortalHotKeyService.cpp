#include "PortalHotKeyService.h"

#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "KeyboardShortcuts/Key.h"
#include "KeyboardShortcuts/Shortcut.h"

#include <systemd/sd-bus.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace overlook::portal {

namespace KS = KeyboardShortcuts;

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kShortcuts = "org.freedesktop.portal.GlobalShortcuts";
constexpr std::uint64_t kCallTimeoutMicroseconds = 10'000'000;

const Logger& shortcutLog() {
    static const Logger log(logs::kApplication, "Shortcuts");
    return log;
}

std::string shortcutIdOf(const KS::HotKeyId& id) {
    return "hotkey-" + std::to_string(id.signature) + "-" + std::to_string(id.id);
}

// A request or session object of ours: the portal names it after our unique bus name.
std::string handlePath(sd_bus* bus, const char* kind, const std::string& token) {
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus, &unique);
    std::string sender = unique ? unique + 1 : "";
    std::replace(sender.begin(), sender.end(), '.', '_');
    return std::string(kPortalPath) + "/" + kind + "/" + sender + "/" + token;
}

// Reads a{sv} and keeps the string (or object path) values of `wanted`, and for
// "shortcuts" the trigger description of every shortcut by id.
struct Results {
    std::map<std::string, std::string> strings;
    std::map<std::string, std::string> triggers;
};

int readShortcutList(sd_bus_message* m, std::map<std::string, std::string>& triggers) {
    int r = sd_bus_message_enter_container(m, 'a', "(sa{sv})");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "sa{sv}")) > 0) {
        const char* id = nullptr;
        if ((r = sd_bus_message_read(m, "s", &id)) < 0)
            return r;
        std::string trigger;
        if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0)
            return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            const char* key = nullptr;
            if ((r = sd_bus_message_read(m, "s", &key)) < 0)
                return r;
            if (std::strcmp(key, "trigger_description") == 0) {
                const char* text = nullptr;
                if ((r = sd_bus_message_read(m, "v", "s", &text)) < 0)
                    return r;
                trigger = text ? text : "";
            } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
                return r;
            }
            if ((r = sd_bus_message_exit_container(m)) < 0)
                return r;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
            return r;
        triggers[id] = trigger;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int readResults(sd_bus_message* m, Results& out) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0)
            return r;
        char type = 0;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0)
            return r;
        if (contents && (std::strcmp(contents, "s") == 0 || std::strcmp(contents, "o") == 0)) {
            const char* value = nullptr;
            if ((r = sd_bus_message_read(m, "v", contents, &value)) < 0)
                return r;
            out.strings[key] = value ? value : "";
        } else if (contents && std::strcmp(key, "shortcuts") == 0 && std::strcmp(contents, "a(sa{sv})") == 0) {
            if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0 || (r = readShortcutList(m, out.triggers)) < 0 ||
                (r = sd_bus_message_exit_container(m)) < 0)
                return r;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

std::string responseText(std::uint32_t code) {
    return code == 1 ? "the shortcut was cancelled in the desktop's dialog" : "the desktop refused the shortcut";
}

} // namespace

std::string preferredTrigger(int keyCode, int carbonModifiers) {
    const auto position = KS::positionOfKeyCode(keyCode);
    if (!position || position->xkbName.empty())
        return {};
    // The key's name on the US layout: portal triggers name keysyms.
    std::string key;
    if (xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES)) {
        const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
        if (xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS)) {
            const std::string name(position->xkbName);
            const xkb_keycode_t code = xkb_keymap_key_by_name(keymap, name.c_str());
            const xkb_keysym_t* syms = nullptr;
            if (code != XKB_KEYCODE_INVALID && xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms) > 0) {
                char text[64];
                if (xkb_keysym_get_name(syms[0], text, sizeof text) > 0)
                    key = text;
            }
            xkb_keymap_unref(keymap);
        }
        xkb_context_unref(context);
    }
    if (key.empty())
        return {};
    std::string trigger;
    if (carbonModifiers & KS::carbon::kControl)
        trigger += "CTRL+";
    if (carbonModifiers & KS::carbon::kOption)
        trigger += "ALT+";
    if (carbonModifiers & KS::carbon::kShift)
        trigger += "SHIFT+";
    if (carbonModifiers & KS::carbon::kCommand)
        trigger += "LOGO+";
    return trigger + key;
}

struct PortalHotKeyService::Impl {
    struct Registration {
        Reference reference;
        std::string trigger;
        KS::HotKeyId id;
    };
    // What the main thread sees; outlives the service for work already queued.
    struct Shared {
        std::mutex mutex;
        KS::HotKeyHandler handler;
        std::function<void(const ShortcutBinding&)> bindingHandler;
        ShortcutBinding binding;
        std::vector<Registration> registrations;
        std::string description = "Show Overlook";
        bool alive = true;
    };

    sd_bus* bus = nullptr;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> rebindQueued{false};
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    Reference nextReference = 0;

    // Portal thread only.
    std::mutex tasksMutex;
    std::vector<std::function<void()>> tasks;
    sd_bus_slot* responseSlot = nullptr;
    std::string session;
    unsigned tokens = 0;
    std::vector<std::string> pressed; // shortcut ids whose release is still due
    std::map<std::string, std::string> createdTriggers; // what CreateSession's answer said was bound

    ~Impl() {
        if (thread.joinable()) {
            stopping = true;
            wake();
            thread.join();
        }
        if (bus)
            sd_bus_flush_close_unref(bus);
        if (wakeFd >= 0)
            close(wakeFd);
    }

    void wake() const {
        const std::uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
    }

    void post(std::function<void()> task) {
        {
            std::lock_guard lock(tasksMutex);
            tasks.push_back(std::move(task));
        }
        wake();
    }

    void run() {
        while (!stopping) {
            while (sd_bus_process(bus, nullptr) > 0) {
            }
            std::vector<std::function<void()>> now;
            {
                std::lock_guard lock(tasksMutex);
                now.swap(tasks);
            }
            for (auto& task : now)
                task();
            if (!now.empty())
                continue;
            pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {wakeFd, POLLIN, 0}};
            std::uint64_t usec = UINT64_MAX;
            sd_bus_get_timeout(bus, &usec);
            int timeout = -1;
            if (usec != UINT64_MAX) {
                timespec ts;
                clock_gettime(CLOCK_MONOTONIC, &ts);
                const std::uint64_t nowUsec = std::uint64_t(ts.tv_sec) * 1'000'000 + std::uint64_t(ts.tv_nsec) / 1000;
                timeout = usec <= nowUsec ? 0 : int(std::min<std::uint64_t>((usec - nowUsec + 999) / 1000, 60'000));
            }
            if (poll(fds, 2, timeout) < 0 && errno != EINTR)
                break;
            if (fds[1].revents & POLLIN) {
                std::uint64_t count;
                (void)!read(wakeFd, &count, sizeof count);
            }
            if (fds[0].revents & (POLLHUP | POLLERR)) {
                report({ShortcutBinding::State::Refused, "the connection to the session bus was lost"});
                break;
            }
        }
        closeSession();
    }

    void report(ShortcutBinding binding) {
        std::weak_ptr<Shared> weak = shared;
        {
            std::lock_guard lock(shared->mutex);
            shared->binding = binding;
        }
        mainQueue().async([weak, binding] {
            auto s = weak.lock();
            if (!s)
                return;
            std::function<void(const ShortcutBinding&)> handler;
            {
                std::lock_guard lock(s->mutex);
                if (!s->alive)
                    return;
                handler = s->bindingHandler;
            }
            if (handler)
                handler(binding);
        });
    }

    void deliver(const std::string& shortcutId, KS::HotKeyEventKind kind) {
        std::weak_ptr<Shared> weak = shared;
        mainQueue().async([weak, shortcutId, kind] {
            auto s = weak.lock();
            if (!s)
                return;
            KS::HotKeyHandler handler;
            std::optional<KS::HotKeyId> id;
            {
                std::lock_guard lock(s->mutex);
                if (!s->alive)
                    return;
                handler = s->handler;
                for (const Registration& r : s->registrations)
                    if (shortcutIdOf(r.id) == shortcutId)
                        id = r.id;
            }
            if (handler && id)
                handler(KS::HotKeyEvent{id, static_cast<int>(kind)});
        });
    }

    void closeSession() {
        if (responseSlot)
            responseSlot = sd_bus_slot_unref(responseSlot);
        if (!session.empty()) {
            sd_bus_call_method_async(bus, nullptr, kPortal, session.c_str(), "org.freedesktop.portal.Session", "Close",
                                     nullptr, nullptr, "");
            session.clear();
        }
        pressed.clear();
        createdTriggers.clear();
    }

    // Waits for the Response of the request named `token` (subscribed before the call
    // that makes it, so that a quick answer is not missed).
    bool expectResponse(const std::string& token, sd_bus_message_handler_t handler) {
        if (responseSlot)
            responseSlot = sd_bus_slot_unref(responseSlot);
        const std::string path = handlePath(bus, "request", token);
        return sd_bus_match_signal(bus, &responseSlot, kPortal, path.c_str(), "org.freedesktop.portal.Request",
                                   "Response", handler, this) >= 0;
    }

    void fail(const std::string& what, int r, const sd_bus_error* error = nullptr) {
        const std::string why = what + ": " + (error && error->message ? error->message : std::strerror(-r));
        shortcutLog().error("%s", why.c_str());
        report({ShortcutBinding::State::Refused, why});
    }

    // Offers the current registrations in a new session, once for changes made together.
    void queueRebind() {
        if (!rebindQueued.exchange(true))
            post([this] {
                rebindQueued = false;
                rebind();
            });
    }

    void rebind() {
        closeSession();
        std::vector<Registration> list;
        {
            std::lock_guard lock(shared->mutex);
            list = shared->registrations;
        }
        if (list.empty())
            return;
        report({ShortcutBinding::State::Pending, {}});
        const std::string token = "overlook" + std::to_string(++tokens);
        const std::string sessionToken = "overlook_shortcuts" + std::to_string(tokens);
        if (!expectResponse(token, &Impl::sessionCreated))
            return fail("Cannot follow the portal's answers", -EIO);
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(bus, &call, kPortal, kPortalPath, kShortcuts, "CreateSession");
        // The shortcuts go here too: Plasma 5.27 registers only what CreateSession carries
        // and ignores BindShortcuts' list.
        if (r >= 0)
            r = sd_bus_message_open_container(call, 'a', "{sv}");
        if (r >= 0)
            r = sd_bus_message_append(call, "{sv}{sv}", "handle_token", "s", token.c_str(), "session_handle_token", "s",
                                      sessionToken.c_str());
        if (r >= 0)
            r = sd_bus_message_open_container(call, 'e', "sv");
        if (r >= 0)
            r = sd_bus_message_append(call, "s", "shortcuts");
        if (r >= 0)
            r = sd_bus_message_open_container(call, 'v', "a(sa{sv})");
        if (r >= 0)
            r = appendShortcuts(call, list);
        for (int i = 0; i < 3 && r >= 0; ++i)
            r = sd_bus_message_close_container(call);
        if (r >= 0)
            r = sd_bus_call_async(bus, nullptr, call, &Impl::callAnswered, this, kCallTimeoutMicroseconds);
        sd_bus_message_unref(call);
        if (r < 0)
            fail("Cannot ask the portal for a shortcut session", r);
    }

    static int callAnswered(sd_bus_message* reply, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        if (const sd_bus_error* e = sd_bus_message_get_error(reply)) {
            self->closeSession();
            self->fail("The portal refused the shortcut request", -EIO, e);
        }
        return 0;
    }

    // Reads a request's Response; false (and the user told) unless it succeeded.
    bool readResponse(sd_bus_message* m, Results& results) {
        std::uint32_t code = 2;
        if (sd_bus_message_read(m, "u", &code) < 0 || readResults(m, results) < 0) {
            fail("Cannot read the portal's answer", -EBADMSG);
            return false;
        }
        responseSlot = sd_bus_slot_unref(responseSlot);
        if (code != 0)
            report({ShortcutBinding::State::Refused, responseText(code)});
        return code == 0;
    }

    static int sessionCreated(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        Results results;
        if (!self->readResponse(m, results))
            return 0;
        self->session = results.strings["session_handle"];
        self->createdTriggers = results.triggers;
        if (self->session.empty()) {
            self->fail("The portal gave no shortcut session", -EBADMSG);
            return 0;
        }
        self->bindShortcuts();
        return 0;
    }

    // a(sa{sv}): each registration with its description and preferred trigger.
    int appendShortcuts(sd_bus_message* call, const std::vector<Registration>& list) {
        std::string description;
        {
            std::lock_guard lock(shared->mutex);
            description = shared->description;
        }
        int r = sd_bus_message_open_container(call, 'a', "(sa{sv})");
        for (const Registration& reg : list) {
            if (r < 0)
                break;
            const std::string id = shortcutIdOf(reg.id);
            if (reg.trigger.empty())
                r = sd_bus_message_append(call, "(sa{sv})", id.c_str(), 1, "description", "s", description.c_str());
            else
                r = sd_bus_message_append(call, "(sa{sv})", id.c_str(), 2, "description", "s", description.c_str(),
                                          "preferred_trigger", "s", reg.trigger.c_str());
        }
        return r < 0 ? r : sd_bus_message_close_container(call);
    }

    void bindShortcuts() {
        std::vector<Registration> list;
        {
            std::lock_guard lock(shared->mutex);
            list = shared->registrations;
        }
        const std::string token = "overlook" + std::to_string(++tokens);
        if (!expectResponse(token, &Impl::shortcutsBound))
            return fail("Cannot follow the portal's answers", -EIO);
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(bus, &call, kPortal, kPortalPath, kShortcuts, "BindShortcuts");
        if (r >= 0)
            r = sd_bus_message_append(call, "o", session.c_str());
        if (r >= 0)
            r = appendShortcuts(call, list);
        if (r >= 0)
            r = sd_bus_message_append(call, "sa{sv}", "", 1, "handle_token", "s", token.c_str());
        if (r >= 0)
            r = sd_bus_call_async(bus, nullptr, call, &Impl::callAnswered, this, kCallTimeoutMicroseconds);
        sd_bus_message_unref(call);
        if (r < 0)
            fail("Cannot offer the shortcut to the portal", r);
    }

    static int shortcutsBound(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        Results results;
        if (!self->readResponse(m, results))
            return 0;
        std::vector<std::string> ids;
        {
            std::lock_guard lock(self->shared->mutex);
            for (const Registration& r : self->shared->registrations)
                ids.push_back(shortcutIdOf(r.id));
        }
        std::string text;
        // A desktop that bound them at CreateSession may list them only there.
        results.triggers.insert(self->createdTriggers.begin(), self->createdTriggers.end());
        for (const std::string& id : ids) {
            const auto found = results.triggers.find(id);
            if (found == results.triggers.end()) {
                self->report({ShortcutBinding::State::Refused, "the desktop did not take the shortcut"});
                return 0;
            }
            text = found->second;
        }
        shortcutLog().notice("The desktop bound the shortcut%s%s", text.empty() ? "" : " to ", text.c_str());
        self->report({ShortcutBinding::State::Bound, text});
        return 0;
    }

    static int signalled(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        const char* sessionPath = nullptr;
        const char* id = nullptr;
        if (sd_bus_message_read(m, "os", &sessionPath, &id) < 0 || self->session != sessionPath)
            return 0;
        const bool activated = std::strcmp(sd_bus_message_get_member(m), "Activated") == 0;
        auto held = std::find(self->pressed.begin(), self->pressed.end(), id);
        if (activated) {
            // A desktop that never says Deactivated still gets each press released.
            if (held != self->pressed.end())
                self->deliver(id, KS::HotKeyEventKind::Released);
            else
                self->pressed.push_back(id);
            self->deliver(id, KS::HotKeyEventKind::Pressed);
        } else if (held != self->pressed.end()) {
            self->pressed.erase(held);
            self->deliver(id, KS::HotKeyEventKind::Released);
        }
        return 0;
    }
};

std::unique_ptr<PortalHotKeyService> PortalHotKeyService::connect(std::string& why) {
    auto impl = std::make_unique<Impl>();
    int r = sd_bus_open_user(&impl->bus);
    if (r < 0) {
        why = std::string("no session bus: ") + std::strerror(-r);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(impl->bus, kCallTimeoutMicroseconds);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::uint32_t version = 0;
    r = sd_bus_get_property_trivial(impl->bus, kPortal, kPortalPath, kShortcuts, "version", &error, 'u', &version);
    if (r < 0) {
        why = std::string("the desktop portal offers no global shortcuts (") +
              (error.message ? error.message : std::strerror(-r)) + ")";
        sd_bus_error_free(&error);
        return nullptr;
    }
    for (const char* member : {"Activated", "Deactivated"})
        if ((r = sd_bus_match_signal(impl->bus, nullptr, kPortal, kPortalPath, kShortcuts, member, &Impl::signalled,
                                     impl.get())) < 0) {
            why = std::string("cannot follow the portal's shortcut signals: ") + std::strerror(-r);
            return nullptr;
        }
    impl->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wakeFd < 0) {
        why = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    shortcutLog().info("The desktop portal offers global shortcuts (version %u)", version);
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] { raw->run(); });
    return std::unique_ptr<PortalHotKeyService>(new PortalHotKeyService(std::move(impl)));
}

PortalHotKeyService::PortalHotKeyService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PortalHotKeyService::~PortalHotKeyService() {
    std::lock_guard lock(impl_->shared->mutex);
    impl_->shared->alive = false;
}

std::optional<KS::HotKeyService::Reference> PortalHotKeyService::registerHotKey(int keyCode, int carbonModifiers,
                                                                                KS::HotKeyId id) {
    const Reference reference = ++impl_->nextReference;
    {
        std::lock_guard lock(impl_->shared->mutex);
        impl_->shared->registrations.push_back({reference, preferredTrigger(keyCode, carbonModifiers), id});
    }
    impl_->queueRebind();
    return reference;
}

void PortalHotKeyService::unregisterHotKey(Reference reference) {
    {
        std::lock_guard lock(impl_->shared->mutex);
        auto& list = impl_->shared->registrations;
        list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& r) { return r.reference == reference; }),
                   list.end());
    }
    impl_->queueRebind();
}

void PortalHotKeyService::installHandler(KS::HotKeyHandler handler) {
    std::lock_guard lock(impl_->shared->mutex);
    impl_->shared->handler = std::move(handler);
}

void PortalHotKeyService::setDescription(std::string description) {
    std::lock_guard lock(impl_->shared->mutex);
    impl_->shared->description = std::move(description);
}

void PortalHotKeyService::setBindingHandler(std::function<void(const ShortcutBinding&)> handler) {
    std::lock_guard lock(impl_->shared->mutex);
    impl_->shared->bindingHandler = std::move(handler);
}

ShortcutBinding PortalHotKeyService::binding() const {
    std::lock_guard lock(impl_->shared->mutex);
    return impl_->shared->binding;
}

} // namespace overlook::portal
