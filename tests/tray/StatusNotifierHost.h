#pragma once
// A desktop panel's side of status-notifier icons, small enough for tests: a watcher, and a
// host that clicks items and their menus. Each talks to the bus over a connection of its own.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct sd_bus sd_bus;

namespace overlook::test {

// Answers from a thread of its own; what registers stays listed.
class StatusNotifierWatcher {
public:
    explicit StatusNotifierWatcher(const std::string& address);
    ~StatusNotifierWatcher();

    bool running() const { return bus_ != nullptr && !lost_; }
    // As the watcher lists them: bus name followed by object path.
    std::vector<std::string> items() const;
    bool hasHost() const;

    void addItem(const std::string& item); // for the sd-bus callbacks, on the watcher's thread
    void addHost();

private:
    sd_bus* bus_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
    bool host_ = false;
    std::atomic<bool> stop_{false}, lost_{false};
    std::thread thread_;
};

// Registers with the watcher when made, unless it has a host already. Each call runs busctl.
class StatusNotifierHost {
public:
    explicit StatusNotifierHost(const std::string& address);

    bool registered() const { return registered_; }
    // The last failure, as busctl described it.
    const std::string& error() const { return error_; }

    // The watcher's RegisteredStatusNotifierItems.
    std::vector<std::string> items();
    std::optional<std::string> property(const std::string& item, const std::string& name);
    // A left click on the icon at (x, y).
    bool activate(const std::string& item, int x, int y);
    // Opens the menu as a panel does (AboutToShow, then the layout) and clicks the entry with this label.
    bool clickMenuEntry(const std::string& item, const std::string& label);

private:
    std::optional<std::string> busctl(const std::string& arguments);
    std::string bus_;
    bool registered_ = false;
    std::string error_;
};

} // namespace overlook::test
