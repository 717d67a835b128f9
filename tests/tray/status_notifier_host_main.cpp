// status-notifier-host: a stand-in panel for sessions without one, on the bus in
// DBUS_SESSION_BUS_ADDRESS.
//
//   status-notifier-host watch           own the watcher with a registered host until
//                                         SIGINT/SIGTERM
//   status-notifier-host activate [X Y]   left click on the first item

#include "StatusNotifierHost.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <optional>
#include <vector>

using namespace overlook::test;

namespace {
volatile std::sig_atomic_t stopped = 0;
}

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command != "watch" && command != "activate") {
        std::fprintf(stderr, "usage: status-notifier-host watch|activate [X Y]\n");
        return 2;
    }
    std::optional<StatusNotifierWatcher> watcher;
    if (command == "watch" && !watcher.emplace().running()) {
        std::fprintf(stderr, "status-notifier-host: cannot own org.kde.StatusNotifierWatcher\n");
        return 1;
    }
    StatusNotifierHost host;
    std::vector<std::string> items;
    if (command == "watch" && host.registered()) {
        std::signal(SIGINT, [](int) { stopped = 1; });
        std::signal(SIGTERM, [](int) { stopped = 1; });
        while (!stopped && watcher->running())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return 0;
    }
    if (host.registered() && (items = host.items()).empty())
        std::fprintf(stderr, "status-notifier-host: no item is registered\n");
    else if (host.registered() && host.activate(items[0], argc > 3 ? std::atoi(argv[2]) : 0, argc > 3 ? std::atoi(argv[3]) : 0))
        return 0;
    else
        std::fprintf(stderr, "status-notifier-host: %s\n", host.error().c_str());
    return 1;
}
