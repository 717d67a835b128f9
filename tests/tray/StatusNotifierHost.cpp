#include "StatusNotifierHost.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace overlook::test {

namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";

sd_bus* connectTo(const std::string& address) {
    std::string to = address;
    if (to.empty())
        if (const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            to = env;
    sd_bus* bus = nullptr;
    if (to.empty() || sd_bus_new(&bus) < 0)
        return nullptr;
    if (sd_bus_set_address(bus, to.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_flush_close_unref(bus);
        return nullptr;
    }
    // A host that hangs on an item is a failure to report, not a test that hangs.
    sd_bus_set_method_call_timeout(bus, 5'000'000);
    return bus;
}

StatusNotifierWatcher* watcherOf(void* userdata) { return static_cast<StatusNotifierWatcher*>(userdata); }

int registerItem(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* service = nullptr;
    if (int r = sd_bus_message_read(m, "s", &service); r < 0)
        return r;
    // Qt and KDE pass a bus name (the item is then at /StatusNotifierItem); the
    // Ayatana library passes its object path, on the caller's connection.
    const std::string item = service[0] == '/' ? std::string(sd_bus_message_get_sender(m)) + service
                                               : std::string(service) + "/StatusNotifierItem";
    watcherOf(userdata)->addItem(item);
    return sd_bus_reply_method_return(m, "");
}

int registerHost(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    if (int r = sd_bus_message_read(m, "s", &name); r < 0)
        return r;
    watcherOf(userdata)->addHost(name);
    return sd_bus_reply_method_return(m, "");
}

int nameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char *name = nullptr, *from = nullptr, *to = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &from, &to) >= 0 && to[0] == '\0')
        watcherOf(userdata)->nameLost(name);
    return 0;
}

int itemsProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                  sd_bus_error*) {
    const std::vector<std::string> items = watcherOf(userdata)->items();
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& item : items)
        if (r >= 0)
            r = sd_bus_message_append(reply, "s", item.c_str());
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int hostProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                 sd_bus_error*) {
    return sd_bus_message_append(reply, "b", int(watcherOf(userdata)->hasHost()));
}

int versionProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "i", 0);
}

const sd_bus_vtable kWatcherVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", registerItem, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", registerHost, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", itemsProperty, 0, 0),
    SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", hostProperty, 0, 0),
    SD_BUS_PROPERTY("ProtocolVersion", "i", versionProperty, 0, 0),
    SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
    SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
    SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
    SD_BUS_SIGNAL("StatusNotifierHostUnregistered", "", 0),
    SD_BUS_VTABLE_END,
};

// "service/path" → the two halves.
std::pair<std::string, std::string> split(const std::string& item) {
    const auto slash = item.find('/');
    if (slash == std::string::npos)
        return {item, "/StatusNotifierItem"};
    return {item.substr(0, slash), item.substr(slash)};
}

// One (ia{sv}av) of a dbusmenu layout and its children.
int readLayout(sd_bus_message* m, std::vector<StatusNotifierHost::MenuEntry>& entries, bool root) {
    int r = sd_bus_message_enter_container(m, 'r', "ia{sv}av");
    StatusNotifierHost::MenuEntry entry;
    if (r >= 0)
        r = sd_bus_message_read(m, "i", &entry.id);
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        const char* type = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = sd_bus_message_peek_type(m, nullptr, &type)) < 0)
            break;
        const std::string name = key;
        if (name == "label" && std::strcmp(type, "s") == 0) {
            const char* label = nullptr;
            r = sd_bus_message_read(m, "v", "s", &label);
            if (r >= 0)
                entry.label = label;
        } else if ((name == "enabled" || name == "visible") && std::strcmp(type, "b") == 0) {
            int value = 1;
            r = sd_bus_message_read(m, "v", "b", &value);
            (name == "enabled" ? entry.enabled : entry.visible) = value != 0;
        } else {
            r = sd_bus_message_skip(m, "v");
        }
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    }
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    if (r >= 0 && !root)
        entries.push_back(entry);
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'a', "v");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'v', "(ia{sv}av)")) > 0) {
        if ((r = readLayout(m, entries, false)) >= 0)
            r = sd_bus_message_exit_container(m);
    }
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    return r;
}

} // namespace

StatusNotifierWatcher::StatusNotifierWatcher(const std::string& address) {
    sd_bus* bus = connectTo(address);
    if (!bus)
        return;
    if (sd_bus_add_object_vtable(bus, nullptr, kWatcherPath, kWatcherName, kWatcherVtable, this) < 0 ||
        sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "NameOwnerChanged", nameOwnerChanged, this) < 0 ||
        sd_bus_request_name(bus, kWatcherName, 0) < 0) {
        sd_bus_flush_close_unref(bus);
        return;
    }
    bus_ = bus;
    thread_ = std::thread([this] { loop(); });
}

StatusNotifierWatcher::~StatusNotifierWatcher() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (bus_)
        sd_bus_flush_close_unref(bus_);
}

std::vector<std::string> StatusNotifierWatcher::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

bool StatusNotifierWatcher::hasHost() const {
    std::lock_guard lock(mutex_);
    return !hosts_.empty();
}

void StatusNotifierWatcher::addItem(const std::string& item) {
    {
        std::lock_guard lock(mutex_);
        if (std::find(items_.begin(), items_.end(), item) != items_.end())
            return;
        items_.push_back(item);
    }
    sd_bus_emit_signal(bus_, kWatcherPath, kWatcherName, "StatusNotifierItemRegistered", "s", item.c_str());
}

void StatusNotifierWatcher::addHost(const std::string& name) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = hosts_.empty();
        hosts_.insert(name);
    }
    if (first)
        sd_bus_emit_signal(bus_, kWatcherPath, kWatcherName, "StatusNotifierHostRegistered", "");
}

void StatusNotifierWatcher::nameLost(const std::string& name) {
    std::vector<std::string> gone;
    bool lastHost = false;
    {
        std::lock_guard lock(mutex_);
        for (auto it = items_.begin(); it != items_.end();) {
            if (split(*it).first == name) {
                gone.push_back(*it);
                it = items_.erase(it);
            } else {
                ++it;
            }
        }
        lastHost = hosts_.erase(name) > 0 && hosts_.empty();
    }
    for (const std::string& item : gone)
        sd_bus_emit_signal(bus_, kWatcherPath, kWatcherName, "StatusNotifierItemUnregistered", "s", item.c_str());
    if (lastHost)
        sd_bus_emit_signal(bus_, kWatcherPath, kWatcherName, "StatusNotifierHostUnregistered", "");
}

void StatusNotifierWatcher::loop() {
    // The connection is only ever used from this thread.
    while (!stop_) {
        int r;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0) {
            lost_ = true;
            return;
        }
        sd_bus_wait(bus_, 50'000);
    }
}

StatusNotifierHost::StatusNotifierHost(const std::string& address) : bus_(connectTo(address)) {
    if (!bus_) {
        error_ = "no bus";
        return;
    }
    static std::atomic<int> count{0};
    const std::string name = "org.kde.StatusNotifierHost-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_request_name(bus_, name.c_str(), 0);
    if (r >= 0)
        r = sd_bus_call_method(bus_, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierHost", &error,
                               nullptr, "s", name.c_str());
    registered_ = !fail(r, "RegisterStatusNotifierHost", error.message);
    sd_bus_error_free(&error);
}

StatusNotifierHost::~StatusNotifierHost() {
    if (bus_)
        sd_bus_flush_close_unref(bus_);
}

bool StatusNotifierHost::fail(int r, const char* what, const char* message) {
    if (r >= 0)
        return false;
    error_ = std::string(what) + ": " + (message ? message : std::strerror(-r));
    return true;
}

std::vector<std::string> StatusNotifierHost::items() {
    std::vector<std::string> items;
    if (!bus_)
        return items;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char** list = nullptr;
    const int r = sd_bus_get_property_strv(bus_, kWatcherName, kWatcherPath, kWatcherName,
                                           "RegisteredStatusNotifierItems", &error, &list);
    fail(r, "RegisteredStatusNotifierItems", error.message);
    sd_bus_error_free(&error);
    for (char** i = list; i && *i; ++i) {
        items.emplace_back(*i);
        std::free(*i);
    }
    std::free(list);
    return items;
}

std::optional<std::string> StatusNotifierHost::property(const std::string& item, const std::string& name) {
    const auto [service, path] = split(item);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_, service.c_str(), path.c_str(), "org.freedesktop.DBus.Properties", "Get", &error,
                               &reply, "ss", kItemInterface, name.c_str());
    std::optional<std::string> value;
    const char* type = nullptr;
    if (r >= 0 && (r = sd_bus_message_peek_type(reply, nullptr, &type)) >= 0) {
        const char* text = nullptr;
        if (std::strcmp(type, "s") == 0 || std::strcmp(type, "o") == 0)
            r = sd_bus_message_read(reply, "v", type, &text);
        else
            r = -EINVAL;
        if (r >= 0)
            value = text;
    }
    fail(r, name.c_str(), error.message);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return value;
}

bool StatusNotifierHost::activate(const std::string& item, int x, int y) {
    const auto [service, path] = split(item);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus_, service.c_str(), path.c_str(), kItemInterface, "Activate", &error, nullptr,
                                     "ii", x, y);
    const bool failed = fail(r, "Activate", error.message);
    sd_bus_error_free(&error);
    return !failed;
}

std::optional<std::vector<StatusNotifierHost::MenuEntry>> StatusNotifierHost::menu(const std::string& item) {
    const std::optional<std::string> path = property(item, "Menu");
    if (!path)
        return std::nullopt;
    const std::string service = split(item).first;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::vector<MenuEntry> entries;
    int r = sd_bus_call_method(bus_, service.c_str(), path->c_str(), kMenuInterface, "AboutToShow", &error, nullptr,
                               "i", 0);
    if (r >= 0)
        r = sd_bus_call_method(bus_, service.c_str(), path->c_str(), kMenuInterface, "GetLayout", &error, &reply,
                               "iias", 0, -1, 0);
    std::uint32_t revision = 0;
    if (r >= 0 && (r = sd_bus_message_read(reply, "u", &revision)) >= 0)
        r = readLayout(reply, entries, true);
    const bool failed = fail(r, "menu", error.message);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    if (failed)
        return std::nullopt;
    return entries;
}

bool StatusNotifierHost::clickMenuEntry(const std::string& item, const std::string& label) {
    const auto entries = menu(item);
    if (!entries)
        return false;
    const auto entry =
        std::find_if(entries->begin(), entries->end(), [&](const MenuEntry& e) { return e.label == label; });
    if (entry == entries->end())
        return !fail(-ENOENT, ("menu entry " + label).c_str());
    const std::string service = split(item).first;
    const std::string path = *property(item, "Menu");
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus_, service.c_str(), path.c_str(), kMenuInterface, "Event", &error, nullptr,
                                     "isvu", entry->id, "clicked", "i", 0, std::uint32_t(std::time(nullptr)));
    const bool failed = fail(r, "Event", error.message);
    sd_bus_error_free(&error);
    return !failed;
}

} // namespace overlook::test
