#pragma once
// A private session bus for one test (a dbus-daemon of its own, stopped by PID)
// and a stand-in notification service on it that records what it is asked to show.

#include "tests/support/Processes.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct sd_bus sd_bus;

namespace overlook::test {

// A scratch folder holding the application's own "config" and "home" folders.
struct Scratch : ScratchFolder {
    explicit Scratch(const std::string& purpose) : ScratchFolder(purpose) {
        std::filesystem::create_directories(path() / "config");
        std::filesystem::create_directories(path() / "home");
    }
};

class PrivateSessionBus {
public:
    // Starts dbus-daemon with `environment` added to its own (what the services it
    // starts see) and services looked up in serviceDirectory().
    explicit PrivateSessionBus(const std::map<std::string, std::string>& environment = {});
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& address() const { return address_; }
    std::filesystem::path serviceDirectory() const { return directory_ / "services"; }
    bool nameHasOwner(const std::string& name) const;

private:
    std::filesystem::path directory_;
    std::string address_;
    pid_t pid_ = -1;
};

// org.freedesktop.Notifications at /org/freedesktop/Notifications, answering from a
// thread of its own.
class NotificationServer {
public:
    explicit NotificationServer(const std::string& address);
    ~NotificationServer();
    bool running() const { return bus_ != nullptr; }

    struct Notification {
        std::uint32_t id = 0;
        std::string appName, icon, summary, body;
        std::vector<std::string> actions;
        std::map<std::string, std::string> hints; // the string-valued ones
        int urgency = -1;
    };
    std::vector<Notification> received() const;
    // Sends ActionInvoked(id, key), as a click on the notification does.
    void invokeAction(std::uint32_t id, const std::string& key);

    // For the sd-bus callbacks.
    std::uint32_t record(Notification n);

private:
    void loop();
    sd_bus* bus_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Notification> received_;
    std::vector<std::pair<std::uint32_t, std::string>> toInvoke_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace overlook::test
