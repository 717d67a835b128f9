#pragma once
// A private session bus, a stand-in notification service on it, and the application's surroundings.

#include "tests/support/Processes.h"
#include "tests/x11/XvfbServer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct sd_bus sd_bus;

namespace overlook::test {

// A client connection to `address`, or nullptr.
sd_bus* connectBus(const std::string& address);
// Answers calls on `bus` from the calling thread until `stop`, with `eachTurn` before
// every read; false when the bus went away.
bool serveBus(sd_bus* bus, const std::atomic<bool>& stop, const std::function<void()>& eachTurn = {});

class PrivateSessionBus {
public:
    // `environment` is what the services it starts see too.
    explicit PrivateSessionBus(const std::map<std::string, std::string>& environment = {});
    ~PrivateSessionBus();

    bool running() const { return pid_ > 0; }
    const std::string& address() const { return address_; }
    std::filesystem::path serviceDirectory() const { return folder_ / "services"; }
    bool nameHasOwner(const std::string& name) const;

private:
    ScratchFolder folder_{"bus"};
    std::string address_;
    pid_t pid_ = -1;
};

// org.freedesktop.Notifications, answering from a thread of its own.
class NotificationServer {
public:
    explicit NotificationServer(const std::string& address);
    ~NotificationServer();
    bool running() const { return bus_ != nullptr; }

    struct Notification {
        std::uint32_t id = 0;
        std::string summary, body;
        std::vector<std::string> actions;
        std::map<std::string, std::string> hints; // the string-valued ones
    };
    std::vector<Notification> received() const;
    // Sends ActionInvoked(id, key), as a click on the notification does.
    void invokeAction(std::uint32_t id, const std::string& key);
    std::uint32_t record(Notification n); // for the sd-bus callback

private:
    sd_bus* bus_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Notification> received_;
    std::vector<std::pair<std::uint32_t, std::string>> toInvoke_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// "config" and "home" folders, a private Xvfb and a bus that sees all three. Programs
// started here are stopped before the server and the bus.
class AppSession {
public:
    explicit AppSession(const std::string& purpose, int width = 1920, int height = 1080);
    ~AppSession();
    bool ready() const { return server.running() && bus.running(); }
    // DISPLAY, XDG_CONFIG_HOME, HOME, DBUS_SESSION_BUS_ADDRESS, a log on standard error,
    // and what was set (an empty value unsets).
    std::map<std::string, std::string> environment() const;
    void setEnvironment(const std::string& name, const std::string& value) { extra_[name] = value; }
    pid_t start(const std::string& command, const std::string& log = {});
    int exitStatus(pid_t pid, int limitMs);
    // The tray application, logged in "app.log", once it owns its bus name.
    pid_t startApplication();
    // `overlook ARGUMENTS`: its exit status, its output in "command.log".
    int command(const std::string& arguments);
    // A method of the running application's control interface; its exit status.
    int call(const std::string& method) const;
    std::string log(const std::string& name = "app.log") const { return readFile(scratch / name); }
    bool popoverOpen() const { return waitFor([&] { return server.popovers() == 1; }); }
    bool popoverClosed() const { return waitFor([&] { return server.popovers() == 0; }); }

    XvfbServer server;
    ScratchFolder scratch;
    PrivateSessionBus bus;

private:
    std::map<std::string, std::string> extra_;
    std::vector<pid_t> started_;
};

} // namespace overlook::test
