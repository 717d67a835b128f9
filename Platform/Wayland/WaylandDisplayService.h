#pragma once
// Displays of a Wayland compositor: its outputs, placed where xdg-output says.
// There is no global pointer on Wayland, so the mouse location is unknown (a
// point that is not a number), and the renderer draws no crosshair rather than
// a guess, unless a capture companion knows it. Safe to call from any thread.

#include "Platform/Wayland/Session.h"
#include "Tessera/DisplayQueryService.h"

namespace overlook::wayland {

// Where snapshots and the pointer come from when the pictures do not come through
// wlroots screen copy (the desktop portal): whole-display pictures from its
// streams, the pointer from its cursor metadata. Any thread.
class CaptureCompanion {
public:
    virtual ~CaptureCompanion() = default;
    // The pointer in the compositor's logical space; nullopt when unknown.
    virtual std::optional<Point> pointer() const = 0;
    // A picture of the display at its full size; nullptr when none can be had. May
    // wait for the desktop's consent.
    virtual FrameSurfacePtr snapshot(DisplayID id) = 0;
};

class WaylandDisplayService final : public DisplayQueryService {
public:
    // With a companion, snapshots and the mouse location come from it.
    explicit WaylandDisplayService(std::shared_ptr<Session> session,
                                   std::shared_ptr<CaptureCompanion> companion = nullptr);

    std::vector<DisplayID> activeDisplayList(std::uint32_t maxDisplays) override;
    DisplayID mainDisplayID() override;
    std::uint32_t unitNumber(DisplayID id) override;
    Size screenSizeMillimetres(DisplayID id) override;
    double rotation(DisplayID id) override;
    bool isMain(DisplayID id) override;
    bool isBuiltin(DisplayID id) override;
    Rect bounds(DisplayID id) override;
    std::vector<ScreenInfo> screens() override;
    // A full-size copy of the output without the cursor, through screen copy (or
    // the companion's picture).
    FrameSurfacePtr createImage(DisplayID id) override;
    bool snapshotsMayWait() override { return companion_ != nullptr; }
    Point mouseLocation() override;
    std::optional<std::string> failure() override;
    std::shared_ptr<void> subscribeReconfiguration(ReconfigurationCallback callback) override;

private:
    std::shared_ptr<Session> session_;
    std::shared_ptr<CaptureCompanion> companion_;
};

// The name a display is shown by: the compositor's description without the
// connector it repeats, else make and model, else the connector.
std::string displayName(const Output& output);

} // namespace overlook::wayland
