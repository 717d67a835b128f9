#pragma once
// Displays of an X server from RandR 1.5 monitors. Safe to call from any thread.
// Enumeration reads the monitors again when the last reading is older than a
// quarter of a second (the renderer enumerates on every frame for the crosshair,
// and a reading costs several round trips), or when the watcher saw a change; the
// per-display queries answer from the last reading.

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
    Point mouseLocation() override;
    std::shared_ptr<void> subscribeReconfiguration(ReconfigurationCallback callback) override;

private:
    static constexpr std::chrono::milliseconds kFreshFor{250};
    MonitorLayout refresh();       // mutex held
    const MonitorLayout& cached(); // mutex held: the last reading, read once if none
    const MonitorLayout& recent(); // mutex held: a reading at most kFreshFor old
    void watch();

    std::string displayName_;
    mutable std::mutex mutex_;
    Connection connection_;
    std::unique_ptr<Grabber> grabber_; // created on the first snapshot
    MonitorLayout layout_;
    bool haveLayout_ = false;
    std::chrono::steady_clock::time_point readAt_{};

    CallbackList<ReconfigurationCallback> subscribers_;
    std::mutex watcherMutex_; // guards starting the watcher
    std::thread watcher_;
    int wakeFd_ = -1;
    std::atomic<bool> stopWatching_{false};
};

} // namespace overlook::x11
