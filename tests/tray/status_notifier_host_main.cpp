// status-notifier-host: a stand-in panel for sessions without one (Xvfb, a bare
// Wayland compositor), on the bus in DBUS_SESSION_BUS_ADDRESS.
//
//   status-notifier-host watch           own the watcher with a registered host
//                                         until SIGINT/SIGTERM; prints items as they come and go
//   status-notifier-host items            the registered items, one a line
//   status-notifier-host activate [X Y]   left click on the first item
//   status-notifier-host menu             its menu entries: id, label
//   status-notifier-host click LABEL      click that entry of its menu

#include "StatusNotifierHost.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using overlook::test::StatusNotifierHost;
using overlook::test::StatusNotifierWatcher;

namespace {

volatile std::sig_atomic_t stopped = 0;

int watch() {
    StatusNotifierWatcher watcher;
    if (!watcher.running()) {
        std::fprintf(stderr, "status-notifier-host: cannot own org.kde.StatusNotifierWatcher\n");
        return 1;
    }
    StatusNotifierHost host;
    if (!host.registered()) {
        std::fprintf(stderr, "status-notifier-host: %s\n", host.error().c_str());
        return 1;
    }
    std::signal(SIGINT, [](int) { stopped = 1; });
    std::signal(SIGTERM, [](int) { stopped = 1; });
    std::vector<std::string> shown;
    while (!stopped && watcher.running()) {
        const std::vector<std::string> items = watcher.items();
        if (items != shown) {
            for (const std::string& item : items)
                std::printf("%s\n", item.c_str());
            std::printf("--\n");
            std::fflush(stdout);
            shown = items;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "watch")
        return watch();
    // The other commands act as a host that comes and goes with the command.
    StatusNotifierHost host;
    if (!host.registered()) {
        std::fprintf(stderr, "status-notifier-host: %s\n", host.error().c_str());
        return 1;
    }
    const std::vector<std::string> items = host.items();
    if (command == "items") {
        for (const std::string& item : items)
            std::printf("%s\n", item.c_str());
        return 0;
    }
    if (items.empty()) {
        std::fprintf(stderr, "status-notifier-host: no item is registered\n");
        return 1;
    }
    bool done = false;
    if (command == "activate") {
        done = host.activate(items[0], argc > 3 ? std::atoi(argv[2]) : 0, argc > 3 ? std::atoi(argv[3]) : 0);
    } else if (command == "menu") {
        const auto entries = host.menu(items[0]);
        for (const auto& entry : entries ? *entries : std::vector<StatusNotifierHost::MenuEntry>{})
            std::printf("%d\t%s\n", entry.id, entry.label.c_str());
        done = entries.has_value();
    } else if (command == "click" && argc > 2) {
        done = host.clickMenuEntry(items[0], argv[2]);
    } else {
        std::fprintf(stderr, "usage: status-notifier-host watch|items|activate [X Y]|menu|click LABEL\n");
        return 2;
    }
    if (!done)
        std::fprintf(stderr, "status-notifier-host: %s\n", host.error().c_str());
    return done ? 0 : 1;
}
