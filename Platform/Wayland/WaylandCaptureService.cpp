#include "WaylandCaptureService.h"

#include "Foundation/Logger.h"
#include "Platform/Wayland/Copy.h"
#include "Tessera/FramePool.h"
#include "Tessera/ServedStream.h"

#include <algorithm>

namespace overlook::wayland {

namespace {
const Logger& captureLog() {
    static const Logger log(logs::kEngine, "Wayland");
    return log;
}
constexpr auto kIdleInterval = std::chrono::seconds(1);
constexpr auto kRetryDelay = std::chrono::milliseconds(100);
// Copies that fail this long in a row stop the stream (a preview must not wait for
// ever for an output that never delivers); it is then tried once a second, and
// goes on when a copy works again (a monitor that slept wakes up).
constexpr auto kFailingFor = std::chrono::seconds(3);
constexpr auto kStoppedRetryInterval = std::chrono::seconds(1);
constexpr double kDefaultRefreshRate = 60;
// Screen copy before version 2 cannot wait for a change: a copy comes back at once
// whatever the output shows. A still output is then looked at this often, not at
// its refresh rate.
constexpr auto kUnchangedPollInterval = std::chrono::milliseconds(50);
} // namespace

// What the session thread knows of one stream beyond what every served stream has.
struct WaylandCaptureService::StreamState : ServedStreamState {
    using ServedStreamState::ServedStreamState;

    bool wasStarted = false;
    std::uint64_t startsSeen = 0;
    bool ended = false;         // the output went away
    bool failed = false;        // stopped: its copies cannot be read, or keep failing
    std::optional<Clock::time_point> failingSince;
    bool needFrameNow = true;   // the next copy does not wait for a change
    std::unique_ptr<Shot> shot; // the copy in flight
    Clock::time_point nextCopy{};
    Clock::time_point lastUpdate{};
    double refreshRate = kDefaultRefreshRate;
    int transform = 0; // wl_output_transform of the output, as of the last request
    std::unique_ptr<ShmBuffer> buffer; // what a copy in flight needs, and no more
};

WaylandCaptureService::WaylandCaptureService(std::shared_ptr<Session> session) : session_(std::move(session)) {
    session_->addClient(this);
}

WaylandCaptureService::~WaylandCaptureService() {
    session_->removeClient(this);
    session_->runSync([this] {
        for (const auto& s : known_)
            release(*s);
        known_.clear();
    });
}

std::optional<std::string> WaylandCaptureService::failure() const {
    if (!lost_)
        return std::nullopt;
    return "the connection to the Wayland compositor was lost";
}

CaptureStats WaylandCaptureService::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

std::unique_ptr<CaptureStream> WaylandCaptureService::createStream(DisplayID display, std::int64_t width,
                                                                   std::int64_t height, std::uint32_t pixelFormat,
                                                                   const StreamProperties& properties,
                                                                   std::shared_ptr<DispatchQueue> queue,
                                                                   FrameHandler handler) {
    if (!session_->canCopyScreens() || pixelFormat != kPixelFormatBGRA || width <= 0 || height <= 0 ||
        width > 16384 || height > 16384)
        return nullptr;
    auto state = std::make_shared<StreamState>(display, static_cast<int>(width), static_cast<int>(height),
                                               properties.showCursor, std::move(queue), std::move(handler));
    {
        std::lock_guard lock(mutex_);
        streams_.push_back(state);
    }
    session_->post([] {});
    // A turn of the session thread starts, stops, or gives back a stream's Wayland objects.
    return std::make_unique<ServedStream>(std::move(state), [this] { session_->post([] {}); },
                                          [this](const ServedStreamState* gone) {
                                              std::lock_guard lock(mutex_);
                                              std::erase_if(streams_, [gone](const auto& s) { return s.get() == gone; });
                                          });
}

void WaylandCaptureService::release(StreamState& s) {
    s.shot.reset();
    s.buffer.reset();
    s.frames.clear();
}

void WaylandCaptureService::turn(Clock::time_point now) {
    std::vector<std::shared_ptr<StreamState>> current;
    {
        std::lock_guard lock(mutex_);
        current = streams_;
    }
    for (const auto& old : known_)
        if (std::find(current.begin(), current.end(), old) == current.end())
            release(*old);
    known_ = current;
    for (const auto& s : current)
        serve(*s, now);
}

void WaylandCaptureService::serve(StreamState& s, Clock::time_point now) {
    const bool started = s.started.load();
    const std::uint64_t starts = s.starts.load();
    if (started && (!s.wasStarted || starts != s.startsSeen)) {
        s.shot.reset(); // a copy waiting for a change would hold back the first frame
        s.needFrameNow = true;
        s.failed = false;
        s.failingSince.reset();
        s.frames.forgetLastPicture(); // the first frame is delivered even if nothing changed
        s.nextCopy = now;
        s.lastUpdate = now;
    }
    s.wasStarted = started;
    s.startsSeen = starts;
    if (!started || s.removed || lost_) {
        // A stopped stream keeps no copy of the output: a closed popover gives its
        // memory back.
        release(s);
        return;
    }
    const bool present = session_->output(s.display) != nullptr;
    if (!present) {
        if (!s.ended) {
            s.ended = true;
            s.shot.reset();
            captureLog().info("Display %u is gone; its stream ends", s.display);
            s.delivery.post(FrameStatus::Stopped, nullptr);
        }
        return;
    }
    if (s.ended) {
        // The output is back (its id comes from its name): the stream goes on.
        s.ended = false;
        s.needFrameNow = true;
        s.frames.forgetLastPicture();
        s.nextCopy = now;
        captureLog().info("Display %u is back; its stream goes on", s.display);
    }
    if (!s.shot && now >= s.nextCopy)
        request(s);
    if (!s.failed && now - s.lastUpdate >= kIdleInterval) { // a stopped stream stays stopped
        s.delivery.post(FrameStatus::FrameIdle, nullptr);
        s.lastUpdate = now;
    }
}

void WaylandCaptureService::request(StreamState& s) {
    const OutputLayout layout = session_->layout();
    if (const Output* o = layout.find(s.display)) {
        s.refreshRate = o->refreshRate > 0 ? o->refreshRate : kDefaultRefreshRate;
        s.transform = o->transform;
    }
    StreamState* state = &s;
    s.shot = std::make_unique<Shot>(
        *session_, session_->output(s.display), s.showCursor, !s.needFrameNow,
        [this, state](std::uint32_t format, int w, int h, int stride) -> ShmBuffer* {
            auto& buffer = state->buffer;
            if (!buffer || !buffer->fits(format, w, h, stride)) {
                buffer.reset(); // the output changed size or format
                buffer = ShmBuffer::create(session_->shm(), format, w, h, stride);
            }
            return buffer.get();
        },
        [this, state](const Shot::Result* result) {
            StreamState& s = *state;
            const auto now = Clock::now();
            std::unique_ptr<Shot> finished = std::move(s.shot); // destroyed on return
            if (!result) {
                const std::uint32_t format = finished->unreadableFormat();
                if (!s.failingSince)
                    s.failingSince = now;
                if (s.failed) {
                    s.nextCopy = now + kStoppedRetryInterval;
                    s.needFrameNow = true;
                    return;
                }
                if (format || now - *s.failingSince >= kFailingFor) {
                    // Trying again soon would give the same answer: the stream stops
                    // and says why, once.
                    if (format)
                        captureLog().error("Display %u: the compositor offers its picture only in format %s, "
                                           "which Overlook cannot read; its stream stops",
                                           s.display, shmFormatName(format).c_str());
                    else
                        captureLog().error("Display %u: the compositor has failed every copy for %lld seconds; "
                                           "its stream stops",
                                           s.display, static_cast<long long>(kFailingFor.count()));
                    s.failed = true;
                    s.delivery.post(FrameStatus::Stopped, nullptr);
                    s.nextCopy = now + kStoppedRetryInterval;
                    s.needFrameNow = true;
                    return;
                }
                // The output may be going away; if not, try again shortly.
                s.nextCopy = now + kRetryDelay;
                s.needFrameNow = true;
                return;
            }
            s.failingSince.reset();
            if (s.failed) {
                s.failed = false;
                s.frames.forgetLastPicture(); // a frame, even unchanged, ends the Stopped status
                captureLog().info("Display %u is copied again; its stream goes on", s.display);
            }
            std::shared_ptr<FrameSurface> surface = s.frames.take();
            const ShmBuffer& b = *result->buffer;
            reduceInto(b.data, result->layout, b.width, b.height, b.stride, result->yInvert, s.transform, *surface);
            // A copy that shows what the last frame showed is no change: the damage
            // was ours (the preview redrawing itself) or too small to see at this
            // size. Not delivering it is what lets a preview of itself come to rest.
            const bool changed = s.frames.isNewPicture(surface);
            const auto reduced = Clock::now();
            {
                std::lock_guard lock(mutex_);
                ++stats_.copies;
                if (changed)
                    ++stats_.frames;
                stats_.reduceNanoseconds += static_cast<std::uint64_t>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(reduced - now).count());
            }
            s.needFrameNow = false;
            if (changed) {
                s.delivery.post(FrameStatus::FrameComplete, std::move(surface));
                s.lastUpdate = now;
            }
            const auto frameTime = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / s.refreshRate));
            const bool copiesWait = session_->screencopyVersion() >= 2;
            s.nextCopy = now + (changed || copiesWait ? frameTime
                                                      : std::max<Clock::duration>(frameTime, kUnchangedPollInterval));
        });
}

std::optional<Clock::time_point> WaylandCaptureService::deadline() const {
    std::optional<Clock::time_point> next;
    for (const auto& s : known_) {
        if (!s->started || s->ended || s->removed)
            continue;
        Clock::time_point due = s->failed ? Clock::time_point::max() : s->lastUpdate + kIdleInterval;
        if (!s->shot)
            due = std::min(due, s->nextCopy);
        next = next ? std::min(*next, due) : due;
    }
    return next;
}

void WaylandCaptureService::layoutChanged(const std::vector<DisplayID>&) {
    // Served in the turn that follows: a stream whose output went sees it there.
}

void WaylandCaptureService::connectionLost() {
    lost_ = true;
    for (const auto& s : known_) {
        if (s->started && !s->ended)
            s->delivery.post(FrameStatus::Stopped, nullptr);
        s->ended = true;
    }
    std::lock_guard lock(mutex_);
    for (const auto& s : streams_)
        if (std::find(known_.begin(), known_.end(), s) == known_.end() && s->started)
            s->delivery.post(FrameStatus::Stopped, nullptr);
}

} // namespace overlook::wayland
