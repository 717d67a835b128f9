#include "WaylandDisplayService.h"

#include "Foundation/Logger.h"
#include "Platform/Wayland/Copy.h"
#include "Platform/X11/Monitors.h"

#include <future>
#include <limits>

namespace overlook::wayland {

namespace {
const Logger& displayLog() {
    static const Logger log(logs::kEngine, "Wayland");
    return log;
}
constexpr auto kSnapshotTimeout = std::chrono::seconds(5);
constexpr auto kLossCheckInterval = std::chrono::milliseconds(20);
} // namespace

std::string displayName(const Output& o) {
    std::string text = o.description;
    const std::string suffix = " (" + o.name + ")";
    if (text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
        text.erase(text.size() - suffix.size());
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    if (!text.empty())
        return text;
    text = o.make + (o.make.empty() || o.model.empty() ? "" : " ") + o.model;
    return text.empty() ? o.name : text;
}

WaylandDisplayService::WaylandDisplayService(std::shared_ptr<Session> session,
                                             std::shared_ptr<CaptureCompanion> companion)
    : session_(std::move(session)), companion_(std::move(companion)) {}

std::vector<DisplayID> WaylandDisplayService::activeDisplayList(std::uint32_t maxDisplays) {
    std::vector<DisplayID> ids;
    for (const Output& o : session_->layout().outputs) {
        if (ids.size() >= maxDisplays)
            break;
        ids.push_back(o.id);
    }
    return ids;
}

DisplayID WaylandDisplayService::mainDisplayID() {
    const OutputLayout l = session_->layout();
    const Output* m = l.main();
    return m ? m->id : 0;
}

// Unknown ids read as zeros, as on the other back ends.
#define OVERLOOK_OUTPUT_FIELD(type, name, expression, fallback)                                    \
    type WaylandDisplayService::name(DisplayID id) {                                               \
        const OutputLayout l = session_->layout();                                                 \
        const Output* o = l.find(id);                                                              \
        return o ? (expression) : fallback;                                                        \
    }
OVERLOOK_OUTPUT_FIELD(std::uint32_t, unitNumber, o->unitNumber, 0)
OVERLOOK_OUTPUT_FIELD(Size, screenSizeMillimetres, o->millimetres, Size{})
OVERLOOK_OUTPUT_FIELD(double, rotation, rotationDegrees(o->transform), 0.0)
OVERLOOK_OUTPUT_FIELD(bool, isMain, o == l.main(), false)
OVERLOOK_OUTPUT_FIELD(bool, isBuiltin, x11::isBuiltinConnector(o->name), false)
OVERLOOK_OUTPUT_FIELD(Rect, bounds, l.bounds(*o), Rect{})
#undef OVERLOOK_OUTPUT_FIELD

std::vector<ScreenInfo> WaylandDisplayService::screens() {
    const OutputLayout l = session_->layout();
    std::vector<ScreenInfo> list;
    for (const Output& o : l.outputs)
        list.push_back({static_cast<std::int64_t>(o.id), displayName(o), l.screenFrame(o)});
    return list;
}

namespace {
int outputTransform(const Session& session, DisplayID id) {
    const OutputLayout layout = session.layout();
    const Output* o = layout.find(id);
    return o ? o->transform : 0;
}
} // namespace

FrameSurfacePtr WaylandDisplayService::createImage(DisplayID id) {
    if (companion_)
        return session_->lost() ? nullptr : companion_->snapshot(id);
    if (session_->lost() || !session_->canCopyScreens())
        return nullptr;
    // Everything Wayland happens on the session thread; this one waits for the outcome.
    struct Snapshot {
        std::unique_ptr<ShmBuffer> buffer;
        std::unique_ptr<Shot> shot;
        std::promise<FrameSurfacePtr> result;
        bool answered = false;
        void answer(FrameSurfacePtr surface) {
            if (!answered) {
                answered = true;
                result.set_value(std::move(surface));
            }
        }
    };
    auto snapshot = std::make_shared<Snapshot>();
    auto future = snapshot->result.get_future();
    Session& session = *session_;
    session_->post([&session, snapshot, id] {
        wl_output* output = session.lost() ? nullptr : session.output(id);
        if (!output) {
            snapshot->answer(nullptr);
            return;
        }
        snapshot->shot = std::make_unique<Shot>(
            session, output, false, false,
            [&session, snapshot](std::uint32_t format, int w, int h, int stride) {
                snapshot->buffer = ShmBuffer::create(session.shm(), format, w, h, stride);
                return snapshot->buffer.get();
            },
            [snapshot, id, transform = outputTransform(session, id)](const Shot::Result* r) {
                FrameSurfacePtr surface;
                if (!r && snapshot->shot->unreadableFormat())
                    displayLog().error("Display %u: the compositor offers its picture only in format %s, which "
                                       "Overlook cannot read",
                                       id, shmFormatName(snapshot->shot->unreadableFormat()).c_str());
                if (r) {
                    const ShmBuffer& b = *r->buffer;
                    const Size upright = uprightSize(b.width, b.height, transform);
                    auto out = FrameSurface::allocate(std::int64_t(upright.width), std::int64_t(upright.height),
                                                      FrameSurface::Contents::Uninitialized);
                    reduceInto(b.data, r->layout, b.width, b.height, b.stride, r->yInvert, transform, *out);
                    surface = out;
                }
                snapshot->answer(std::move(surface));
                snapshot->shot.reset();
                snapshot->buffer.reset();
            });
    });
    // Waited for in slices: a compositor that goes away answers nothing, and the
    // caller is told at once rather than after the whole timeout.
    const auto deadline = std::chrono::steady_clock::now() + kSnapshotTimeout;
    while (future.wait_for(kLossCheckInterval) != std::future_status::ready && !session_->lost() &&
           std::chrono::steady_clock::now() < deadline) {
    }
    if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        if (!session_->lost())
            displayLog().error("The compositor did not copy display %u in time", id);
        session_->post([snapshot] {
            snapshot->answer(nullptr);
            snapshot->shot.reset();
            snapshot->buffer.reset();
        });
        return nullptr;
    }
    return future.get();
}

std::optional<std::string> WaylandDisplayService::failure() {
    if (!session_->lost())
        return std::nullopt;
    return "The connection to the Wayland compositor was lost";
}

Point WaylandDisplayService::mouseLocation() {
    const double unknown = std::numeric_limits<double>::quiet_NaN();
    const std::optional<Point> pointer = companion_ ? companion_->pointer() : std::nullopt;
    const OutputLayout l = session_->layout();
    const Output* main = l.main();
    if (!pointer || !main)
        return {unknown, unknown};
    // Logical space (y down) to y up from the main display's bottom-left corner.
    return {pointer->x - main->logical.x, main->logical.y + main->logical.height - pointer->y};
}

std::shared_ptr<void> WaylandDisplayService::subscribeReconfiguration(ReconfigurationCallback callback) {
    return session_->subscribe(std::move(callback));
}

} // namespace overlook::wayland
