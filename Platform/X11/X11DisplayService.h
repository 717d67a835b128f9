#pragma once
// Displays of an X server from RandR 1.5 monitors. Safe to call from any thread.
// The renderer enumerates the displays and asks for the pointer on every frame for
// the crosshair, so neither may cost a round trip while nothing changes: once the
// watcher runs (it starts with the first subscription or pointer query), the
// monitors are read again only when it saw a change, and the pointer only after
// it saw the pointer move. Before that, enumeration reads the monitors again when
// the last reading is older than a quarter of a second. The per-display queries
// answer from the last reading.

#include "Foundation/CallbackList.h"
#include "Platform/X11/Grabber.h"
#include "Platform/X11/Monitors.h"
#include "Platform/X11/Xcb.h"
#include "Tessera/DisplayQueryService.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace overlook::x11 {

class X11DisplayService final : public DisplayQueryService {
public:
    // Check ok() afterwards; error() says why a connection failed.
    explicit X11DisplayService(const char* displayName = nullptr);
    ~X11DisplayService() override;

    bool ok() const { return connection_.ok(); }
    const std::string& error() const { return connection_.error(); }
    MonitorLayout layout();

    std::vector<DisplayID> activeDisplayList(std::uint32_t maxDisplays) override;
    DisplayID mainDisplayID() override;
    std::uint32_t unitNumber(DisplayID id) override;
    Size screenSizeMillimetres(DisplayID id) override;
    double rotation(DisplayID id) override;
    bool isMain(DisplayID id) override;
    bool isBuiltin(DisplayID id) override;
    Rect bounds(DisplayID id) override;
    std::vector<ScreenInfo> screens() override;
    FrameSurfacePtr createImage(DisplayID id) override;
    bool snapshotInto(DisplayID id, std::uint8_t* destination, int stride, int width, int height) override;
    std::optional<PageBuffer> snapshotArea(const Rect& area) override;
    Point mouseLocation() override;
    std::optional<std::string> failure() override;
    std::shared_ptr<void> subscribeReconfiguration(ReconfigurationCallback callback) override;
    bool reportsPointerMotion() override;
    std::shared_ptr<void> subscribePointerMotion(std::function<void()> callback) override;
    // Round trips made for the pointer so far (a still pointer makes none).
    std::uint64_t pointerQueries() const { return pointerQueries_.load(); }

private:
    static constexpr std::chrono::milliseconds kFreshFor{250};
    MonitorLayout refresh();       // mutex held
    const MonitorLayout& cached(); // mutex held: the last reading, read once if none
    const MonitorLayout& recent(); // mutex held: a reading at most kFreshFor old
    void watch();
    void ensureWatcher();

    std::string displayName_;
    mutable std::mutex mutex_;
    Connection connection_;
    std::unique_ptr<Grabber> grabber_; // created on the first snapshot
    int shmAvailable_ = 0;             // MIT-SHM for snapshotArea: 1 yes, -1 no, 0 not asked yet
    MonitorLayout layout_;
    bool haveLayout_ = false;
    std::chrono::steady_clock::time_point readAt_{};

    CallbackList<ReconfigurationCallback> subscribers_;
    CallbackList<std::function<void()>> motionSubscribers_;
    std::mutex watcherMutex_; // guards starting the watcher
    std::thread watcher_;
    int wakeFd_ = -1;
    std::atomic<bool> stopWatching_{false};
    std::atomic<bool> watcherStarted_{false};
    std::atomic<bool> watcherRunning_{false}; // and invalidating the reading on changes
    // The pointer, as last asked; asked again only after the watcher saw it move
    // (or always, without XInput 2).
    std::atomic<bool> pointerMoved_{true};
    std::atomic<bool> pointerFollowed_{false}; // the watcher reports movement
    Point pointer_;                            // mutex_
    bool havePointer_ = false;                 // mutex_
    std::chrono::steady_clock::time_point pointerAskedAt_{}; // mutex_
    static constexpr std::chrono::milliseconds kWarpCheckPeriod{250};
    std::atomic<std::uint64_t> pointerQueries_{0};
};

} // namespace overlook::x11
