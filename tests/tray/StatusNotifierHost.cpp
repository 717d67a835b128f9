#include "StatusNotifierHost.h"

#include "tests/control_bus/SessionBus.h"

#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <unistd.h>

namespace overlook::test {

namespace {

using json = nlohmann::json;
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";

StatusNotifierWatcher* watcherOf(void* userdata) { return static_cast<StatusNotifierWatcher*>(userdata); }

int registerCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    if (int r = sd_bus_message_read(m, "s", &name); r < 0)
        return r;
    if (std::string(sd_bus_message_get_member(m)) == "RegisterStatusNotifierHost")
        watcherOf(userdata)->addHost();
    else // Qt and KDE pass a bus name, Ayatana its object path on the caller's connection
        watcherOf(userdata)->addItem(name[0] == '/' ? std::string(sd_bus_message_get_sender(m)) + name
                                                    : std::string(name) + "/StatusNotifierItem");
    return sd_bus_reply_method_return(m, "");
}

int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply, void* userdata,
             sd_bus_error*) {
    if (std::string(name) == "ProtocolVersion")
        return sd_bus_message_append(reply, "i", 0);
    if (std::string(name) == "IsStatusNotifierHostRegistered")
        return sd_bus_message_append(reply, "b", int(watcherOf(userdata)->hasHost()));
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& item : watcherOf(userdata)->items())
        if (r >= 0)
            r = sd_bus_message_append(reply, "s", item.c_str());
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

// Qt listens to none of the watcher's signals.
const sd_bus_vtable kWatcherVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", registerCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", registerCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", property, 0, 0),
    SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", property, 0, 0),
    SD_BUS_PROPERTY("ProtocolVersion", "i", property, 0, 0),
    SD_BUS_VTABLE_END,
};

std::pair<std::string, std::string> split(const std::string& item) {
    const auto slash = item.find('/');
    return slash == std::string::npos ? std::pair{item, std::string("/StatusNotifierItem")}
                                      : std::pair{item.substr(0, slash), item.substr(slash)};
}

} // namespace

StatusNotifierWatcher::StatusNotifierWatcher(const std::string& address) : bus_(connectBus(address)) {
    if (bus_ && (sd_bus_add_object_vtable(bus_, nullptr, kWatcherPath, kWatcherName, kWatcherVtable, this) < 0 ||
                 sd_bus_request_name(bus_, kWatcherName, 0) < 0))
        bus_ = sd_bus_flush_close_unref(bus_);
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
    return host_;
}

void StatusNotifierWatcher::addItem(const std::string& item) {
    std::lock_guard lock(mutex_);
    if (std::find(items_.begin(), items_.end(), item) == items_.end())
        items_.push_back(item);
}

void StatusNotifierWatcher::addHost() {
    std::lock_guard lock(mutex_);
    host_ = true;
}

StatusNotifierHost::StatusNotifierHost(const std::string& address) : bus_("--address='" + address + "'") {
    static std::atomic<int> count{0};
    const auto hasHost = busctl(std::string("get-property ") + kWatcherName + " " + kWatcherPath + " " + kWatcherName +
                                " IsStatusNotifierHostRegistered");
    registered_ = hasHost && (json::parse(*hasHost)["data"] == true ||
                              busctl(std::string("call ") + kWatcherName + " " + kWatcherPath + " " + kWatcherName +
                                     " RegisterStatusNotifierHost s org.kde.StatusNotifierHost-" +
                                     std::to_string(getpid()) + "-" + std::to_string(++count)));
}

std::optional<std::string> StatusNotifierHost::busctl(const std::string& arguments) {
    const ScratchFolder folder("busctl");
    int status = 0;
    std::string out = shellOutput("busctl " + bus_ + " --timeout=5 --json=short -- " + arguments + " 2>'" +
                                      (folder / "err").string() + "'",
                                  &status);
    if (status == 0)
        return out;
    error_ = arguments.substr(0, arguments.find(' ')) + ": " + readFile(folder / "err");
    return std::nullopt;
}

std::vector<std::string> StatusNotifierHost::items() {
    const auto out = busctl(std::string("get-property ") + kWatcherName + " " + kWatcherPath + " " + kWatcherName +
                            " RegisteredStatusNotifierItems");
    return out ? json::parse(*out)["data"].get<std::vector<std::string>>() : std::vector<std::string>{};
}

std::optional<std::string> StatusNotifierHost::property(const std::string& item, const std::string& name) {
    const auto [service, path] = split(item);
    const auto out = busctl("get-property " + service + " " + path + " " + kItemInterface + " " + name);
    const json value = out ? json::parse(*out)["data"] : json();
    if (out && !value.is_string())
        error_ = name + ": not a string";
    return value.is_string() ? std::optional(value.get<std::string>()) : std::nullopt;
}

bool StatusNotifierHost::activate(const std::string& item, int x, int y) {
    const auto [service, path] = split(item);
    return busctl("call " + service + " " + path + " " + kItemInterface + " Activate ii " + std::to_string(x) + " " +
                  std::to_string(y))
        .has_value();
}

bool StatusNotifierHost::clickMenuEntry(const std::string& item, const std::string& label) {
    const auto path = property(item, "Menu");
    const std::string menu = split(item).first + " " + path.value_or("") + " " + kMenuInterface;
    std::optional<std::string> out;
    if (!path || !busctl("call " + menu + " AboutToShow i 0") || !(out = busctl("call " + menu + " GetLayout iias 0 -1 0")))
        return false;
    // (ia{sv}av): id, properties as {"type", "data"}, children as variants; submenus depth first.
    std::optional<int> id;
    const std::function<void(const json&)> find = [&](const json& children) {
        for (const json& child : children) {
            const json& node = child["data"];
            if (!id && node[1].value("label", json{{"data", ""}})["data"] == label)
                id = node[0].get<int>();
            find(node[2]);
        }
    };
    find(json::parse(*out)["data"][1][2]);
    if (!id)
        error_ = "no menu entry " + label;
    return id && busctl("call " + menu + " Event isvu " + std::to_string(*id) + " clicked i 0 " +
                        std::to_string(std::time(nullptr)))
                     .has_value();
}

} // namespace overlook::test
