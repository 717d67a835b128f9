#include "ControlBus/ControlClient.h"

#include "ControlBus/ControlBus.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace overlook::control {

namespace {

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};

std::string busAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string("unix:path=") + runtime + "/bus";
    return {};
}

CallResult noInstance(std::string why) { return {false, std::move(why), true}; }

} // namespace

CallResult callRunningInstance(const std::string& method, Start start) {
    const std::string address = busAddress();
    if (address.empty())
        return noInstance("no session bus (neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)");
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    std::unique_ptr<sd_bus, BusUnref> bus(raw);
    if (r < 0)
        return noInstance("cannot connect to the session bus at " + address + ": " + std::strerror(-r));

    sd_bus_message* rawMessage = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &rawMessage, kBusName, kObjectPath, kInterface, method.c_str());
    std::unique_ptr<sd_bus_message, MessageUnref> message(rawMessage);
    if (r >= 0)
        r = sd_bus_message_set_auto_start(message.get(), start == Start::IfNeeded);
    if (r < 0)
        return noInstance("cannot connect to the session bus at " + address + ": " + std::strerror(-r));

    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus.get(), message.get(), 0, &error, &reply);
    sd_bus_message_unref(reply);
    CallResult result{r >= 0, {}, false};
    if (r < 0) {
        if (sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                   "org.freedesktop.DBus.Error.Spawn.ServiceNotFound")) {
            result = noInstance(std::string("nothing owns ") + kBusName + " on the session bus" +
                                (start == Start::IfNeeded ? " and the bus cannot start it" : ""));
        } else if (!sd_bus_error_is_set(&error)) {
            // No reply at all: the connection itself failed.
            result = noInstance("cannot connect to the session bus at " + address + ": " + std::strerror(-r));
        } else {
            result.error = method + " failed: " + (error.message ? error.message : error.name);
        }
    }
    sd_bus_error_free(&error);
    return result;
}

} // namespace overlook::control
