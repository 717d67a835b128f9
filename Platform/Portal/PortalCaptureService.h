#pragma once
// Display streams through the desktop portal's ScreenCast interface and PipeWire,
// for compositors without wlroots screen copy (GNOME, KDE) and for sandboxes.
//
// The first stream that starts opens a ScreenCast session for every display that
// has none: monitors, several at once if the portal allows, consent kept with a
// restore token per display. Where the portal gives fewer streams than asked, one
// session per display follows; one dialog is shown at a time. Streams arrive as
// PipeWire video in shared memory and are reduced to each display stream's size on
// the service's thread. A display the user refused, or whose session the portal
// ended, stays stopped until the service is made again: never a loop of dialogs.
//
// Failures that leave nothing to capture (no portal, no ScreenCast interface, no
// PipeWire) are reported by failure() and logged once; a refused or ended session is
// logged and its displays' streams stop.

#include "Platform/Portal/RestoreTokens.h"
#include "Platform/Wayland/Session.h"
#include "Platform/Wayland/WaylandDisplayService.h"
#include "Tessera/CaptureService.h"

#include <memory>

namespace overlook::portal {

struct PortalStats {
    std::uint64_t buffers = 0;           // pictures the desktop sent and we reduced
    std::uint64_t frames = 0;            // of those, pictures delivered as new frames
    std::uint64_t reduceNanoseconds = 0; // time spent reducing them
};

class PortalCaptureService final : public CaptureService, public wayland::CaptureCompanion {
public:
    // `outputs` tells where the displays are (streams are matched to them by place
    // and size); `tokens` may be null (consent is then asked for every time).
    PortalCaptureService(std::shared_ptr<wayland::Session> outputs, std::shared_ptr<RestoreTokenStore> tokens);
    ~PortalCaptureService() override;
    PortalCaptureService(const PortalCaptureService&) = delete;
    PortalCaptureService& operator=(const PortalCaptureService&) = delete;

    std::optional<std::string> failure() const override;
    std::unique_ptr<CaptureStream> createStream(DisplayID display, std::int64_t width, std::int64_t height,
                                                std::uint32_t pixelFormat, const StreamProperties& properties,
                                                std::shared_ptr<DispatchQueue> queue, FrameHandler handler) override;

    // Where the cursor is, in the compositor's logical space, when the portal sends
    // it as metadata (GNOME, KDE); nullopt otherwise. Any thread.
    std::optional<Point> pointer() const override;
    // The display's next frame at its full size, through the same session as its
    // stream (asking for consent if there is none yet); nullptr when it is refused
    // or no frame comes within a minute. Where the portal only embeds the cursor,
    // the picture shows it. Any thread but the service's own.
    FrameSurfacePtr snapshot(DisplayID id) override;
    PortalStats stats() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace overlook::portal
