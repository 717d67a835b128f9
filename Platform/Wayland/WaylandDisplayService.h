#pragma once
// Displays of a Wayland compositor: its outputs, placed where xdg-output says.
// There is no global pointer on Wayland, so the mouse location is unknown (a
// point that is not a number), and the renderer draws no crosshair rather than
// a guess. Safe to call from any thread.

#include "Platform/Wayland/Session.h"
#include "Tessera/DisplayQueryService.h"

namespace overlook::wayland {

class WaylandDisplayService final : public DisplayQueryService {
public:
    explicit WaylandDisplayService(std::shared_ptr<Session> session);

    std::vector<DisplayID> activeDisplayList(std::uint32_t maxDisplays) override;
    DisplayID mainDisplayID() override;
    std::uint32_t unitNumber(DisplayID id) override;
    Size screenSizeMillimetres(DisplayID id) override;
    double rotation(DisplayID id) override;
    bool isMain(DisplayID id) override;
    bool isBuiltin(DisplayID id) override;
    Rect bounds(DisplayID id) override;
    std::vector<ScreenInfo> screens() override;
    // A full-size copy of the output without the cursor, through screen copy.
    FrameSurfacePtr createImage(DisplayID id) override;
    Point mouseLocation() override;
    std::shared_ptr<void> subscribeReconfiguration(ReconfigurationCallback callback) override;

private:
    std::shared_ptr<Session> session_;
};

// The name a display is shown by: the compositor's description without the
// connector it repeats, else make and model, else the connector.
std::string displayName(const Output& output);

} // namespace overlook::wayland
