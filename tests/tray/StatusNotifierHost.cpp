#include "StatusNotifierHost.h"

#include "tests/control_bus/SessionBus.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace overlook::test {

namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";

StatusNotifierWatcher* watcherOf(void* userdata) { return static_cast<StatusNotifierWatcher*>(userdata); }

int registerItem(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* service = nullptr;
    if (int r = sd_bus_message_read(m, "s", &service); r < 0)
        return r;
    // Qt and KDE pass a bus name (the item is then at /StatusNotifierItem); the
    // Ayatana library passes its object path, on the caller's connection.
    watcherOf(userdata)->addItem(service[0] == '/' ? std::string(sd_bus_message_get_sender(m)) + service
                                                   : std::string(service) + "/StatusNotifierItem");
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
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& item : watcherOf(userdata)->items())
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
    return slash == std::string::npos ? std::pair{item, std::string("/StatusNotifierItem")}
                                      : std::pair{item.substr(0, slash), item.substr(slash)};
}

// One (ia{sv}av) of a dbusmenu layout and its children.
int readLayout(sd_bus_message* m, std::vector<StatusNotifierHost::MenuEntry>& entries, bool root) {
    StatusNotifierHost::MenuEntry entry;
    int r = sd_bus_message_enter_container(m, 'r', "ia{sv}av");
    if (r >= 0)
        r = sd_bus_message_read(m, "i", &entry.id);
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *key = nullptr, *type = nullptr, *label = nullptr;
        int value = 1;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = sd_bus_message_peek_type(m, nullptr, &type)) < 0)
            break;
        const std::string name = key;
        if (name == "label" && std::strcmp(type, "s") == 0 && (r = sd_bus_message_read(m, "v", "s", &label)) >= 0)
            entry.label = label;
        else if ((name == "enabled" || name == "visible") && std::strcmp(type, "b") == 0)
            r = sd_bus_message_read(m, "v", "b", &value), (name == "enabled" ? entry.enabled : entry.visible) = value;
        else if (r >= 0)
            r = sd_bus_message_skip(m, "v");
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    }
    if (r >= 0 && (r = sd_bus_message_exit_container(m)) >= 0 && !root)
        entries.push_back(entry);
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'a', "v");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'v', "(ia{sv}av)")) > 0)
        if ((r = readLayout(m, entries, false)) >= 0)
            r = sd_bus_message_exit_container(m);
    if (r >= 0 && (r = sd_bus_message_exit_container(m)) >= 0)
        r = sd_bus_message_exit_container(m);
    return r;
}

} // namespace

StatusNotifierWatcher::StatusNotifierWatcher(const std::string& address) : bus_(connectBus(address)) {
    if (bus_ && (sd_bus_add_object_vtable(bus_, nullptr, kWatcherPath, kWatcherName, kWatcherVtable, this) < 0 ||
                 sd_bus_match_signal(bus_, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "NameOwnerChanged", nameOwnerChanged, this) < 0 ||
                 sd_bus_request_name(bus_, kWatcherName, 0) < 0))
        bus_ = sd_bus_flush_close_unref(bus_);
    // The connection is only ever used from this thread.
    if (bus_)
        thread_ = std::thread([this] { lost_ = !serveBus(bus_, stop_); });
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

void StatusNotifierWatcher::emit(const char* member, const std::string& item) {
    if (item.empty())
        sd_bus_emit_signal(bus_, kWatcherPath, kWatcherName, member, "");
    else
        sd_bus_emit_signal(bus_, kWatcherPath, kWatcherName, member, "s", item.c_str());
}

void StatusNotifierWatcher::addItem(const std::string& item) {
    {
        std::lock_guard lock(mutex_);
        if (std::find(items_.begin(), items_.end(), item) != items_.end())
            return;
        items_.push_back(item);
    }
    emit("StatusNotifierItemRegistered", item);
}

void StatusNotifierWatcher::addHost(const std::string& name) {
    std::unique_lock lock(mutex_);
    const bool first = hosts_.empty();
    hosts_.insert(name);
    lock.unlock();
    if (first)
        emit("StatusNotifierHostRegistered");
}

void StatusNotifierWatcher::nameLost(const std::string& name) {
    std::vector<std::string> gone;
    std::unique_lock lock(mutex_);
    std::erase_if(items_, [&](const std::string& item) {
        return split(item).first == name ? (gone.push_back(item), true) : false;
    });
    const bool lastHost = hosts_.erase(name) > 0 && hosts_.empty();
    lock.unlock();
    for (const std::string& item : gone)
        emit("StatusNotifierItemUnregistered", item);
    if (lastHost)
        emit("StatusNotifierHostUnregistered");
}

StatusNotifierHost::StatusNotifierHost(const std::string& address) : bus_(connectBus(address)) {
    static std::atomic<int> count{0};
    const std::string name = "org.kde.StatusNotifierHost-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    if (!bus_)
        error_ = "no bus";
    else if (const int r = sd_bus_request_name(bus_, name.c_str(), 0); r < 0)
        error_ = std::string("RequestName: ") + std::strerror(-r);
    else
        registered_ = call(kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierHost",
                           "RegisterStatusNotifierHost", nullptr, "s", name.c_str());
}

StatusNotifierHost::~StatusNotifierHost() {
    if (bus_)
        sd_bus_flush_close_unref(bus_);
}

bool StatusNotifierHost::call(const std::string& item, const char* path, const char* interface, const char* member,
                              const char* what, sd_bus_message** reply, const char* types, ...) {
    const auto [service, itemPath] = split(item);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    va_list arguments;
    va_start(arguments, types);
    const int r = sd_bus_call_methodv(bus_, service.c_str(), path ? path : itemPath.c_str(), interface, member, &error,
                                      reply, types, arguments);
    va_end(arguments);
    if (r < 0)
        error_ = std::string(what) + ": " + (error.message ? error.message : std::strerror(-r));
    sd_bus_error_free(&error);
    return r >= 0;
}

std::vector<std::string> StatusNotifierHost::items() {
    std::vector<std::string> items;
    char** list = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (bus_ && sd_bus_get_property_strv(bus_, kWatcherName, kWatcherPath, kWatcherName,
                                         "RegisteredStatusNotifierItems", &error, &list) < 0)
        error_ = std::string("RegisteredStatusNotifierItems: ") + (error.message ? error.message : "failed");
    sd_bus_error_free(&error);
    for (char** i = list; i && *i; ++i)
        items.emplace_back(*i), std::free(*i);
    std::free(list);
    return items;
}

std::optional<std::string> StatusNotifierHost::property(const std::string& item, const std::string& name) {
    sd_bus_message* reply = nullptr;
    std::optional<std::string> value;
    if (call(item, nullptr, "org.freedesktop.DBus.Properties", "Get", name.c_str(), &reply, "ss", kItemInterface,
             name.c_str())) {
        const char *type = nullptr, *text = nullptr;
        if (sd_bus_message_peek_type(reply, nullptr, &type) >= 0 && (!std::strcmp(type, "s") || !std::strcmp(type, "o")) &&
            sd_bus_message_read(reply, "v", type, &text) >= 0)
            value = text;
        else
            error_ = name + ": not a string";
    }
    sd_bus_message_unref(reply);
    return value;
}

bool StatusNotifierHost::activate(const std::string& item, int x, int y) {
    return call(item, nullptr, kItemInterface, "Activate", "Activate", nullptr, "ii", x, y);
}

std::optional<std::vector<StatusNotifierHost::MenuEntry>> StatusNotifierHost::menu(const std::string& item) {
    const std::optional<std::string> path = property(item, "Menu");
    sd_bus_message* reply = nullptr;
    std::vector<MenuEntry> entries;
    std::uint32_t revision = 0;
    int r = -EINVAL;
    if (path && call(item, path->c_str(), kMenuInterface, "AboutToShow", "menu", nullptr, "i", 0) &&
        call(item, path->c_str(), kMenuInterface, "GetLayout", "menu", &reply, "iias", 0, -1, 0) &&
        (r = sd_bus_message_read(reply, "u", &revision)) >= 0)
        r = readLayout(reply, entries, true);
    sd_bus_message_unref(reply);
    if (path && reply && r < 0)
        error_ = std::string("menu: ") + std::strerror(-r);
    return r >= 0 ? std::optional(entries) : std::nullopt;
}

bool StatusNotifierHost::clickMenuEntry(const std::string& item, const std::string& label) {
    const auto entries = menu(item);
    if (!entries)
        return false;
    const auto entry = std::find_if(entries->begin(), entries->end(), [&](const MenuEntry& e) { return e.label == label; });
    if (entry == entries->end()) {
        error_ = "menu entry " + label + ": " + std::strerror(ENOENT);
        return false;
    }
    return call(item, property(item, "Menu")->c_str(), kMenuInterface, "Event", "Event", nullptr, "isvu", entry->id,
                "clicked", "i", 0, std::uint32_t(std::time(nullptr)));
}

} // namespace overlook::test
