#include "SessionBus.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace overlook::test {

PrivateSessionBus::PrivateSessionBus(const std::map<std::string, std::string>& environment) {
    char pattern[] = "/tmp/overlook-bus-XXXXXX";
    if (!mkdtemp(pattern))
        return;
    directory_ = pattern;
    fs::create_directories(serviceDirectory());
    address_ = "unix:path=" + (directory_ / "bus").string();
    std::ofstream(directory_ / "bus.conf") << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                                              "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                              "<busconfig><type>session</type><listen>"
                                           << address_ << "</listen><servicedir>" << serviceDirectory().string()
                                           << "</servicedir><auth>EXTERNAL</auth><policy context=\"default\">"
                                              "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                              "<allow own=\"*\"/></policy></busconfig>\n";
    pid_ = spawn("dbus-daemon --nofork --config-file=" + (directory_ / "bus.conf").string(), environment,
                 directory_ / "daemon.log");
    if (!waitFor([&] { return fs::exists(directory_ / "bus"); }, 5000)) {
        stop(pid_);
        pid_ = -1;
    }
}

PrivateSessionBus::~PrivateSessionBus() {
    stop(pid_);
    if (!directory_.empty())
        fs::remove_all(directory_);
}

bool PrivateSessionBus::nameHasOwner(const std::string& name) const {
    return shellOutput("dbus-send --bus=" + address_ +
                       " --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:" +
                       name + " 2>/dev/null")
               .find("boolean true") != std::string::npos;
}

namespace {

NotificationServer* serverOf(void* userdata) { return static_cast<NotificationServer*>(userdata); }

int notify(sd_bus_message* m, void* userdata, sd_bus_error*) {
    NotificationServer::Notification n;
    const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    std::uint32_t replaces = 0;
    int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    if (r < 0)
        return r;
    n.appName = app;
    n.icon = icon;
    n.summary = summary;
    n.body = body;
    char** actions = nullptr;
    if ((r = sd_bus_message_read_strv(m, &actions)) < 0)
        return r;
    for (char** a = actions; a && *a; ++a) {
        n.actions.emplace_back(*a);
        free(*a);
    }
    free(actions);
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        const char* contents = nullptr;
        sd_bus_message_read(m, "s", &key);
        sd_bus_message_peek_type(m, nullptr, &contents);
        if (contents && std::string(contents) == "s") {
            const char* value = nullptr;
            sd_bus_message_read(m, "v", "s", &value);
            n.hints[key] = value;
        } else if (contents && std::string(contents) == "y") {
            std::uint8_t value = 0;
            sd_bus_message_read(m, "v", "y", &value);
            if (std::string(key) == "urgency")
                n.urgency = value;
        } else {
            sd_bus_message_skip(m, "v");
        }
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return sd_bus_reply_method_return(m, "u", serverOf(userdata)->record(std::move(n)));
}

int capabilities(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "as", 2, "actions", "body");
}

int information(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "ssss", "stand-in", "overlook tests", "1", "1.2");
}

int closeNotification(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", information, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("ActionInvoked", "us", 0),
    SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
    SD_BUS_VTABLE_END,
};

} // namespace

NotificationServer::NotificationServer(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                 kVtable, this) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
        sd_bus_flush_close_unref(bus);
        return;
    }
    bus_ = bus;
    thread_ = std::thread([this] { loop(); });
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

void NotificationServer::loop() {
    while (!stop_) {
        std::vector<std::pair<std::uint32_t, std::string>> invoke;
        {
            std::lock_guard lock(mutex_);
            invoke.swap(toInvoke_);
        }
        // The bus is only ever used from this thread.
        for (const auto& [id, key] : invoke)
            sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                               "ActionInvoked", "us", id, key.c_str());
        int r;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0)
            return;
        sd_bus_wait(bus_, 50'000);
    }
}

} // namespace overlook::test
