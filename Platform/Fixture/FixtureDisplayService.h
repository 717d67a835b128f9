#pragma once
// Displays described by a JSON arrangement, for tests and demos:
//
// {
//   "displays": [
//     { "id": 1, "unitNumber": 0, "name": "Built-in Display", "sizeMillimetres": [344, 222],
//       "rotation": 0, "main": true, "builtin": true, "bounds": [0, 0, 1512, 982],
//       "pixelsPerPoint": 2 }
//   ],
//   "screens": [ { "displayNumber": 1, "name": "Built-in Display", "frame": [0, 0, 1512, 982] } ],
//   "mouse": [100, 200]
// }
//
// "screens" is optional: without it every display has a screen of its own name
// whose frame is its bounds in y-up coordinates. "mouse" is y-up. The arrangement
// can be replaced at run time; subscribers then hear of every display that changed.

#include "Foundation/CallbackList.h"
#include "Tessera/DisplayQueryService.h"

#include <future>
#include <map>
#include <optional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace overlook::fixture {

struct FixtureDisplay {
    DisplayID id = 0;
    std::uint32_t unitNumber = 0;
    std::string name;
    Size sizeMillimetres;
    double rotation = 0;
    bool isMain = false;
    bool isBuiltin = false;
    Rect bounds;
    double pixelsPerPoint = 1;
};

struct Arrangement {
    std::vector<FixtureDisplay> displays;
    std::vector<ScreenInfo> screens;
    Point mouse;
};

class FixtureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws FixtureError with a message naming the problem.
Arrangement parseArrangement(const std::string& json);
Arrangement loadArrangement(const std::string& path);

class FixtureDisplayService final : public DisplayQueryService {
public:
    explicit FixtureDisplayService(Arrangement arrangement);

    void setArrangement(Arrangement arrangement);
    void setMouseLocation(Point location);
    // Makes snapshots fail, to exercise the blank fallback.
    void setSnapshotsFail(bool fail);
    // Snapshots wait until `gate` is ready, and the service says they may wait, as a
    // desktop portal's do.
    void holdSnapshots(std::shared_future<void> gate);
    bool snapshotsMayWait() override;
    Arrangement arrangement() const;
    // The pattern colour of a display (by its index in the arrangement).
    std::uint32_t colorOf(DisplayID id) const;

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
    const FixtureDisplay* find(DisplayID id) const; // mutex held

    mutable std::mutex mutex_;
    Arrangement arrangement_;
    bool snapshotsFail_ = false;
    std::optional<std::shared_future<void>> snapshotGate_;
    CallbackList<ReconfigurationCallback> subscribers_;
};

} // namespace overlook::fixture
