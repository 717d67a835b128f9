#pragma once
// One connection to a Wayland compositor, served by one thread that owns every
// Wayland object: the outputs (wl_output + xdg-output), shared memory and the
// wlroots screen-copy manager. Other threads read the published layout and post
// work onto the thread; clients (the capture service) get a turn after every
// batch of events and say when they next want one.

#include "Foundation/CallbackList.h"
#include "Platform/Wayland/Outputs.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct wl_display;
struct wl_output;
struct wl_shm;
struct zwlr_screencopy_manager_v1;

namespace overlook::wayland {

using Clock = std::chrono::steady_clock;

class Session {
public:
    // Served on the session thread.
    class Client {
    public:
        virtual ~Client() = default;
        virtual void turn(Clock::time_point now) = 0;
        // When the next turn is due, at the latest (nullopt: only on events).
        virtual std::optional<Clock::time_point> deadline() const = 0;
        virtual void layoutChanged(const std::vector<DisplayID>& changed) = 0;
        virtual void connectionLost() = 0;
    };

    // Connects (nullptr: $WAYLAND_DISPLAY) and reads the outputs; nullptr with
    // `error` set when there is no compositor to talk to.
    static std::shared_ptr<Session> connect(const char* name, std::string& error);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    OutputLayout layout() const;
    bool canCopyScreens() const { return screencopyVersion_ > 0; }
    bool lost() const { return lost_.load(); }

    // Runs `task` on the session thread (inline when that thread has ended).
    void post(std::function<void()> task);
    // Runs `task` on the session thread and waits for it.
    void runSync(const std::function<void()>& task);

    void addClient(Client* client);    // any thread; the client must outlive its removal
    void removeClient(Client* client); // any thread; on return the client gets no more turns

    // Reconfiguration: called on the session thread once per changed output.
    std::shared_ptr<void> subscribe(std::function<void(DisplayID)> callback);

    // Session thread only.
    wl_output* output(DisplayID id) const;
    wl_shm* shm() const { return shm_; }
    zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
    std::uint32_t screencopyVersion() const { return screencopyVersion_; }
    bool onThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    struct Live; // an output being described by the compositor

private:
    Session() = default;
    bool setUp(const char* name, std::string& error);
    void run();
    void wake();
    void publish(); // session thread: compares the live outputs with the published layout
    void runTasks();
    void fail();

    wl_display* display_ = nullptr;
    struct Globals;
    std::unique_ptr<Globals> globals_;
    wl_shm* shm_ = nullptr;
    zwlr_screencopy_manager_v1* screencopy_ = nullptr;
    std::uint32_t screencopyVersion_ = 0;

    mutable std::mutex mutex_; // guards layout_, tasks_, clients_
    OutputLayout layout_;
    std::vector<std::function<void()>> tasks_;
    std::vector<Client*> clients_;
    CallbackList<std::function<void(DisplayID)>> subscribers_;
    std::mutex turnMutex_; // held while clients take their turns, so removal can wait

    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lost_{false};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

} // namespace overlook::wayland
