#pragma once
// What a desktop panel does for status-notifier tray icons (KDE Plasma, GNOME's
// AppIndicator extension, waybar), small enough for tests: a watcher that owns
// org.kde.StatusNotifierWatcher and lists the items and whether a host came, and a
// host that clicks items (Activate) and their menus (com.canonical.dbusmenu). Both talk
// to the bus at the given address (DBUS_SESSION_BUS_ADDRESS when empty), each over
// a connection of its own.

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
    explicit StatusNotifierWatcher(const std::string& address = {});
    ~StatusNotifierWatcher();

    // False when the bus could not be reached, the name is taken or the bus went away.
    bool running() const { return bus_ != nullptr && !lost_; }
    // As the watcher lists them: bus name followed by object path.
    std::vector<std::string> items() const;
    bool hasHost() const;

    // For the sd-bus callbacks, on the watcher's thread.
    void addItem(const std::string& item);
    void addHost();

private:
    sd_bus* bus_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
    bool host_ = false;
    std::atomic<bool> stop_{false}, lost_{false};
    std::thread thread_;
};

// A host as a panel is one to the items: it registers with the watcher when it is
// made (unless the watcher has one already) and calls the items. Each call runs busctl.
class StatusNotifierHost {
public:
    explicit StatusNotifierHost(const std::string& address = {});

    // False when the bus, or a watcher to register with, was missing.
    bool registered() const { return registered_; }
    // The last failure, as busctl described it.
    const std::string& error() const { return error_; }

    // The watcher's RegisteredStatusNotifierItems.
    std::vector<std::string> items();
    // A string or object-path property of an item's org.kde.StatusNotifierItem.
    std::optional<std::string> property(const std::string& item, const std::string& name);
    // A left click on the icon at (x, y).
    bool activate(const std::string& item, int x, int y);

    struct MenuEntry {
        int id = 0;
        std::string label; // "" for separators
        bool enabled = true, visible = true;
    };
    // The item's menu as a panel opens it: AboutToShow on the root, then the whole
    // layout (submenus flattened, depth first).
    std::optional<std::vector<MenuEntry>> menu(const std::string& item);
    // Opens the menu and clicks the entry with this label.
    bool clickMenuEntry(const std::string& item, const std::string& label);

private:
    // `busctl ARGUMENTS --json=short` on the bus: its output, or nullopt with error() set.
    std::optional<std::string> busctl(const std::string& arguments);
    std::string bus_;
    bool registered_ = false;
    std::string error_;
};

} // namespace overlook::test
