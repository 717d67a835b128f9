#include "SessionBus.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace overlook::test {

sd_bus* connectBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty() || sd_bus_new(&bus) < 0)
        return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0)
        return sd_bus_flush_close_unref(bus);
    // A peer that hangs is a failure to report, not a test that hangs.
    sd_bus_set_method_call_timeout(bus, 5'000'000);
    return bus;
}

bool serveBus(sd_bus* bus, const std::atomic<bool>& stop, const std::function<void()>& eachTurn) {
    while (!stop) {
        if (eachTurn)
            eachTurn();
        int r;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
        }
        if (r < 0)
            return false;
        sd_bus_wait(bus, 50'000);
    }
    return true;
}

PrivateSessionBus::PrivateSessionBus(const std::map<std::string, std::string>& environment)
    : address_("unix:path=" + (folder_ / "bus").string()) {
    fs::create_directories(serviceDirectory());
    std::ofstream(folder_ / "bus.conf") << "<busconfig><type>session</type><listen>" << address_ << "</listen><servicedir>"
                                        << serviceDirectory().string()
                                        << "</servicedir><auth>EXTERNAL</auth><policy context=\"default\">"
                                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                           "<allow own=\"*\"/></policy></busconfig>\n";
    pid_ = spawn("dbus-daemon --nofork --config-file=" + (folder_ / "bus.conf").string(), environment,
                 folder_ / "daemon.log");
    if (!waitFor([&] { return fs::exists(folder_ / "bus"); }, 5000)) {
        stop(pid_);
        pid_ = -1;
    }
}

PrivateSessionBus::~PrivateSessionBus() { stop(pid_); }

bool PrivateSessionBus::nameHasOwner(const std::string& name) const {
    return shellOutput("dbus-send --bus=" + address_ +
                       " --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:" + name +
                       " 2>/dev/null")
               .find("boolean true") != std::string::npos;
}

namespace {

int notify(sd_bus_message* m, void* userdata, sd_bus_error*) {
    NotificationServer::Notification n;
    const char *app, *icon, *summary, *body;
    std::uint32_t replaces = 0;
    char** actions = nullptr;
    int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    if (r < 0 || (r = sd_bus_message_read_strv(m, &actions)) < 0 ||
        (r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0)
        return r;
    n.summary = summary, n.body = body;
    for (char** a = actions; a && *a; ++a)
        n.actions.emplace_back(*a), free(*a);
    free(actions);
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char *key = nullptr, *type = nullptr, *text = nullptr;
        sd_bus_message_read(m, "s", &key);
        sd_bus_message_peek_type(m, nullptr, &type);
        if (type && std::string(type) == "s" && sd_bus_message_read(m, "v", "s", &text) >= 0)
            n.hints[key] = text;
        else
            sd_bus_message_skip(m, "v");
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return sd_bus_reply_method_return(m, "u", static_cast<NotificationServer*>(userdata)->record(std::move(n)));
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("ActionInvoked", "us", 0),
    SD_BUS_VTABLE_END,
};

} // namespace

NotificationServer::NotificationServer(const std::string& address) : bus_(connectBus(address)) {
    if (bus_ && (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                          "org.freedesktop.Notifications", kVtable, this) < 0 ||
                 sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) < 0))
        bus_ = sd_bus_flush_close_unref(bus_);
    if (!bus_)
        return;
    thread_ = std::thread([this] {
        serveBus(bus_, stop_, [this] {
            std::lock_guard lock(mutex_);
            for (const auto& [id, key] : toInvoke_)
                sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                   "ActionInvoked", "us", id, key.c_str());
            toInvoke_.clear();
        });
    });
}

NotificationServer::~NotificationServer() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (bus_)
        sd_bus_flush_close_unref(bus_);
}

std::uint32_t NotificationServer::record(Notification n) {
    std::lock_guard lock(mutex_);
    n.id = std::uint32_t(received_.size() + 1);
    received_.push_back(std::move(n));
    return received_.back().id;
}

std::vector<NotificationServer::Notification> NotificationServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void NotificationServer::invokeAction(std::uint32_t id, const std::string& key) {
    std::lock_guard lock(mutex_);
    toInvoke_.emplace_back(id, key);
}

AppSession::AppSession(const std::string& purpose, int width, int height)
    : server(width, height), scratch(purpose),
      bus({{"DISPLAY", server.name()}, {"XDG_CONFIG_HOME", scratch / "config"}, {"HOME", scratch / "home"}}) {
    fs::create_directories(scratch / "config");
    fs::create_directories(scratch / "home");
}

AppSession::~AppSession() {
    for (pid_t pid : started_)
        stop(pid);
}

std::map<std::string, std::string> AppSession::environment() const {
    std::map<std::string, std::string> env{{"DISPLAY", server.name()},
                                           {"XDG_CONFIG_HOME", scratch / "config"},
                                           {"HOME", scratch / "home"},
                                           {"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                                           {"OVERLOOK_LOG_STDERR", "1"}};
    for (const auto& [name, value] : extra_)
        env[name] = value;
    return env;
}

pid_t AppSession::start(const std::string& command, const std::string& log) {
    return started_.emplace_back(spawn(command, environment(), log.empty() ? fs::path() : scratch / log));
}

int AppSession::exitStatus(pid_t pid, int limitMs) {
    const int status = exitStatusWithin(pid, limitMs);
    if (status != -1)
        std::erase(started_, pid);
    return status;
}

pid_t AppSession::startApplication() {
    const pid_t pid = start(OVERLOOK_BINARY, "app.log");
    waitFor([&] { return bus.nameHasOwner("io.overlook.Overlook"); }, 20000);
    return pid;
}

int AppSession::command(const std::string& arguments) {
    return exitStatus(start(OVERLOOK_BINARY " " + arguments, "command.log"), 15000);
}

int AppSession::call(const std::string& method) const {
    int status = 0;
    shellOutput("dbus-send --bus=" + bus.address() +
                    " --print-reply --dest=io.overlook.Overlook /io/overlook/Overlook io.overlook.Overlook." + method +
                    " >/dev/null 2>&1",
                &status);
    return status;
}

} // namespace overlook::test
