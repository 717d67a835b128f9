// A desktop's side of GlobalShortcuts: binds every shortcut with its preferred trigger, logs
// "bind ID TRIGGER|DESCRIPTION", plays presses on io.overlook.test.Keys.Press, and after
// TakeNothing binds nothing, as a refusing desktop does.

#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Offered {
    std::string id, trigger, description;
};

struct Backend {
    sd_bus* bus = nullptr;
    std::string log;
    bool takeNothing = false;
    std::map<std::string, std::string> sessionOf; // shortcut id -> session handle
    std::vector<sd_bus_slot*> sessions;

    void write(const std::string& line) const {
        if (FILE* f = std::fopen(log.c_str(), "a"))
            std::fprintf(f, "%s\n", line.c_str()), std::fclose(f);
    }
};

Backend* backendOf(void* data) { return static_cast<Backend*>(data); }

int closeSession(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

const sd_bus_vtable kSessionVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Close", "", "", closeSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("Closed", "", 0),
    SD_BUS_VTABLE_END,
};

int readShortcuts(sd_bus_message* m, std::vector<Offered>& out) {
    int r = sd_bus_message_enter_container(m, 'a', "(sa{sv})");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "sa{sv}")) > 0) {
        Offered& o = out.emplace_back();
        const char *id = nullptr, *key = nullptr, *text = nullptr;
        sd_bus_message_read(m, "s", &id);
        o.id = id;
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            sd_bus_message_read(m, "s", &key);
            if (std::strcmp(key, "preferred_trigger") == 0 && sd_bus_message_read(m, "v", "s", &text) >= 0)
                o.trigger = text;
            else if (std::strcmp(key, "description") == 0 && sd_bus_message_read(m, "v", "s", &text) >= 0)
                o.description = text;
            else
                sd_bus_message_skip(m, "v");
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
}

int replyWithShortcuts(Backend* b, sd_bus_message* m, const std::vector<Offered>& list) {
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(m, &reply);
    sd_bus_message_append(reply, "u", 0u);
    sd_bus_message_open_container(reply, 'a', "{sv}");
    sd_bus_message_open_container(reply, 'e', "sv");
    sd_bus_message_append(reply, "s", "shortcuts");
    sd_bus_message_open_container(reply, 'v', "a(sa{sv})");
    sd_bus_message_open_container(reply, 'a', "(sa{sv})");
    for (const Offered& o : list)
        sd_bus_message_append(reply, "(sa{sv})", o.id.c_str(), 2, "description", "s", o.description.c_str(),
                              "trigger_description", "s", o.trigger.c_str());
    for (int i = 0; i < 4; ++i)
        sd_bus_message_close_container(reply);
    const int r = sd_bus_send(b->bus, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int createSession(sd_bus_message* m, void* data, sd_bus_error*) {
    Backend* b = backendOf(data);
    const char *handle = nullptr, *session = nullptr;
    if (int r = sd_bus_message_read(m, "oo", &handle, &session); r < 0)
        return r;
    sd_bus_slot* slot = nullptr;
    sd_bus_add_object_vtable(b->bus, &slot, session, "org.freedesktop.impl.portal.Session", kSessionVtable, b);
    b->sessions.push_back(slot);
    return sd_bus_reply_method_return(m, "ua{sv}", 0u, 0);
}

int bindShortcuts(sd_bus_message* m, void* data, sd_bus_error*) {
    Backend* b = backendOf(data);
    const char *handle = nullptr, *session = nullptr;
    std::vector<Offered> offered;
    int r = sd_bus_message_read(m, "oo", &handle, &session);
    if (r < 0 || (r = readShortcuts(m, offered)) < 0)
        return r;
    if (b->takeNothing)
        offered.clear();
    for (const Offered& o : offered) {
        b->sessionOf[o.id] = session;
        b->write("bind " + o.id + " " + o.trigger + "|" + o.description);
    }
    return replyWithShortcuts(b, m, offered);
}

int press(sd_bus_message* m, void* data, sd_bus_error* error) {
    Backend* b = backendOf(data);
    const char* id = nullptr;
    if (int r = sd_bus_message_read(m, "s", &id); r < 0)
        return r;
    const auto found = b->sessionOf.find(id);
    if (found == b->sessionOf.end())
        return sd_bus_error_set(error, "io.overlook.test.NotBound", "no such shortcut was bound");
    for (const char* member : {"Activated", "Deactivated"})
        sd_bus_emit_signal(b->bus, "/org/freedesktop/portal/desktop", "org.freedesktop.impl.portal.GlobalShortcuts",
                           member, "osta{sv}", found->second.c_str(), id, std::uint64_t(0), 0);
    return sd_bus_reply_method_return(m, "");
}

int takeNothing(sd_bus_message* m, void* data, sd_bus_error*) {
    backendOf(data)->takeNothing = true;
    return sd_bus_reply_method_return(m, "");
}

int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "u", 1u);
}

const sd_bus_vtable kShortcutsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", createSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("BindShortcuts", "ooa(sa{sv})sa{sv}", "ua{sv}", bindShortcuts, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("Activated", "osta{sv}", 0),
    SD_BUS_SIGNAL("Deactivated", "osta{sv}", 0),
    SD_BUS_PROPERTY("version", "u", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kKeysVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Press", "s", "", press, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("TakeNothing", "", "", takeNothing, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s BUS_NAME LOG_FILE\n", argv[0]);
        return 2;
    }
    Backend b;
    b.log = argv[2];
    const char* path = "/org/freedesktop/portal/desktop";
    int r = sd_bus_open_user(&b.bus);
    if (r >= 0)
        r = sd_bus_add_object_vtable(b.bus, nullptr, path, "org.freedesktop.impl.portal.GlobalShortcuts",
                                     kShortcutsVtable, &b);
    if (r >= 0)
        r = sd_bus_add_object_vtable(b.bus, nullptr, path, "io.overlook.test.Keys", kKeysVtable, &b);
    if (r >= 0)
        r = sd_bus_request_name(b.bus, argv[1], 0);
    if (r < 0) {
        std::fprintf(stderr, "shortcuts_portal_backend: %s\n", std::strerror(-r));
        return 1;
    }
    while ((r = sd_bus_process(b.bus, nullptr)) >= 0)
        if (r == 0 && sd_bus_wait(b.bus, UINT64_MAX) < 0)
            break;
    for (sd_bus_slot* s : b.sessions)
        sd_bus_slot_unref(s);
    sd_bus_flush_close_unref(b.bus);
    return 0;
}
