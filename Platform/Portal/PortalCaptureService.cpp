#include "Platform/Portal/PortalInternals.h"

#include "Platform/Wayland/Copy.h"

#include <algorithm>
#include <condition_variable>

namespace overlook::portal {

bool PortalCaptureService::Impl::setUp() {
    pw_init(nullptr, nullptr);
    loop = pw_thread_loop_new("overlook-portal", nullptr);
    if (!loop)
        return fail("PipeWire could not make its loop");
    pw_loop* l = pw_thread_loop_get_loop(loop);
    context = pw_context_new(l, nullptr, 0);
    if (!context)
        return fail("PipeWire could not make a context");
    if (const int r = sd_bus_open_user(&bus); r < 0)
        return fail(std::string("no session bus to reach the desktop portal: ") + std::strerror(-r));
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus, &unique) < 0 || !unique)
        return fail("the session bus gave no name");
    sender = unique + 1; // ":1.42" -> "1_42"
    std::replace(sender.begin(), sender.end(), '.', '_');
    sd_bus_slot* watch = nullptr;
    if (sd_bus_add_match(bus, &watch,
                         "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                         "member='NameOwnerChanged',arg0='org.freedesktop.portal.Desktop'",
                         &Impl::onPortalOwnerChanged, this) >= 0)
        portalWatch.reset(watch);
    busSource = pw_loop_add_io(l, sd_bus_get_fd(bus), SPA_IO_IN, false, &Impl::onBus, this);
    wakeSource = pw_loop_add_event(l, &Impl::onWake, this);
    tickSource = pw_loop_add_timer(l, &Impl::onTick, this);
    gatherSource = pw_loop_add_timer(l, &Impl::onTick, this);
    timespec tick{0, std::chrono::duration_cast<std::chrono::nanoseconds>(kTick).count()};
    pw_loop_update_timer(l, tickSource, &tick, &tick, false);
    if (pw_thread_loop_start(loop) < 0)
        return fail("PipeWire could not start its thread");
    return true;
}

bool PortalCaptureService::Impl::fail(std::string message) {
    std::lock_guard lock(mutex);
    if (!failure) {
        portalLog().error("%s", message.c_str());
        failure = std::move(message);
    }
    return false;
}

void PortalCaptureService::Impl::tearDown() {
    {
        std::lock_guard lock(snapshotMutex);
        closing = true;
    }
    if (loop) {
        // A snapshot under way ends with its stream stopped.
        pw_thread_loop_lock(loop);
        {
            std::lock_guard lock(mutex);
            for (const auto& s : streams)
                if (s->started)
                    stopStream(*s);
        }
        pw_thread_loop_unlock(loop);
        {
            std::unique_lock lock(snapshotMutex);
            if (!snapshotsDone.wait_for(lock, std::chrono::seconds(5), [&] { return snapshotsTaking == 0; }))
                portalLog().error("A snapshot did not end with the portal's service");
        }
        pw_thread_loop_lock(loop);
        for (const auto& c : conversations)
            closeSession(*c);
        conversations.clear();
        known.clear();
        pw_loop* l = pw_thread_loop_get_loop(loop);
        {
            std::lock_guard lock(wakeMutex);
            for (spa_source* s : {busSource, wakeSource, tickSource, gatherSource})
                if (s)
                    pw_loop_destroy_source(l, s);
            busSource = wakeSource = tickSource = gatherSource = nullptr;
        }
        portalWatch.reset();
        if (bus)
            sd_bus_flush(bus);
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
    }
    if (bus)
        sd_bus_flush_close_unref(bus);
    if (context)
        pw_context_destroy(context);
    if (loop)
        pw_thread_loop_destroy(loop);
    pw_deinit();
}

void PortalCaptureService::Impl::wake() {
    std::lock_guard lock(wakeMutex);
    if (loop && wakeSource)
        pw_loop_signal_event(pw_thread_loop_get_loop(loop), wakeSource);
}

void PortalCaptureService::Impl::onBus(void* data, int, std::uint32_t) {
    auto* self = static_cast<Impl*>(data);
    self->pumpBus();
    self->turn();
}

void PortalCaptureService::Impl::onWake(void* data, std::uint64_t) {
    static_cast<Impl*>(data)->turn();
}

void PortalCaptureService::Impl::onTick(void* data, std::uint64_t) {
    auto* self = static_cast<Impl*>(data);
    self->pumpBus(); // method call timeouts
    self->turn();
}

Feed* PortalCaptureService::Impl::feedFor(DisplayID display) {
    // A display that came back has a live feed beside the one that ended.
    Feed* ended = nullptr;
    for (const auto& c : conversations)
        for (const auto& f : c->feeds)
            if (f->display == display) {
                if (!f->gone)
                    return f.get();
                ended = f.get();
            }
    return ended;
}

void PortalCaptureService::Impl::stopStream(StreamState& s) {
    if (!s.stopSent) {
        s.stopSent = true;
        s.delivery.post(FrameStatus::Stopped, nullptr);
    }
}

void PortalCaptureService::Impl::stopEverything() {
    for (const auto& s : known)
        if (s->started)
            stopStream(*s);
}

void PortalCaptureService::Impl::turn() {
    const auto now = Clock::now();
    std::vector<std::shared_ptr<StreamState>> current;
    bool failed;
    {
        std::lock_guard lock(mutex);
        current = streams;
        failed = failure.has_value();
    }
    known = current;
    const wayland::OutputLayout layout = outputs->layout();
    std::vector<DisplayID> wanted;
    for (const auto& s : current) {
        const bool started = s->started.load();
        const std::uint64_t starts = s->starts.load();
        if (started && (!s->wasStarted || starts != s->startsSeen)) {
            s->stopSent = false;
            s->served = false;
            s->lastUpdate = now;
            s->startedAt = now;
            s->frames.forgetLastPicture(); // the first frame is delivered even if nothing changed
        }
        s->wasStarted = started;
        s->startsSeen = starts;
        if (!started || s->removed)
            continue;
        Feed* feed = feedFor(s->display);
        if (failed || !layout.find(s->display) || refused.count(s->display)) {
            stopStream(*s);
            continue;
        }
        if (feed && feed->gone) {
            // A stream that ran on it ends; one started since (its display came back)
            // asks the desktop again, with the stored token: no dialog.
            if (s->stopSent || s->startedAt <= feed->goneAt) {
                stopStream(*s);
                continue;
            }
            feed = nullptr;
        }
        if (!feed && s->stopSent)
            continue; // ended with its feed, whose session has since been closed
        if (!feed) {
            if (std::find(wanted.begin(), wanted.end(), s->display) == wanted.end())
                wanted.push_back(s->display);
            continue;
        }
        if (!s->served && feed->held && feed->active && feed->haveFormat)
            deliver(*feed, *feed->held->buffer, s.get());
        askForPicture(*feed, *s, now);
        if (now - s->lastUpdate >= kIdleInterval) {
            s->delivery.post(FrameStatus::FrameIdle, nullptr);
            s->lastUpdate = now;
        }
    }
    // Streams nobody is looking at are paused.
    for (const auto& c : conversations)
        for (const auto& f : c->feeds) {
            bool needed = false;
            for (const auto& s : current)
                needed |= s->display == f->display && s->started && !s->removed;
            if (f->stream && !f->gone && needed != f->active) {
                f->active = needed;
                f->pointer.reset(); // a paused feed says nothing more
                if (!needed && f->held) {
                    pw_stream_queue_buffer(f->stream, f->held);
                    f->held = nullptr;
                }
                pw_stream_set_active(f->stream, needed);
            }
        }
    for (const auto& c : conversations)
        for (const auto& f : c->feeds)
            if (f->gone)
                f->pointer.reset();
    updatePointer(nullptr);
    // A session whose every feed ended streams nothing more: it is closed.
    for (const auto& c : conversations)
        if (c->step == Conversation::Step::Running && !c->feeds.empty() &&
            std::all_of(c->feeds.begin(), c->feeds.end(), [](const auto& f) { return f->gone; })) {
            closeSession(*c);
            c->step = Conversation::Step::Ended;
        }
    // Sessions gone for good are dropped; their displays stay refused or may be asked again.
    std::erase_if(conversations, [](const std::unique_ptr<Conversation>& c) {
        return c->step == Conversation::Step::Ended;
    });
    if (failed || wanted.empty()) {
        gathering.clear();
        return;
    }
    if (wanted != gathering) {
        gathering = wanted;
        gatheredAt = now;
    }
    if (const auto askAt = std::max(gatheredAt + kGathering, askNotBefore); now < askAt) {
        const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(askAt - now).count();
        timespec once{time_t(rest / 1'000'000'000), long(rest % 1'000'000'000)}, never{0, 0};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), gatherSource, &once, &never, false);
        return;
    }
    ask(wanted, layout);
}

void PortalCaptureService::Impl::askForPicture(Feed& f, const StreamState& s, Clock::time_point now) {
    if (f.resumeAt) {
        if (now >= *f.resumeAt) {
            f.resumeAt.reset();
            if (f.active && !f.gone)
                pw_stream_set_active(f.stream, true);
        }
        return;
    }
    // A still desktop sends nothing (mutter's first frame can come before the stream
    // has its buffers, or as an empty one): a stream paused and resumed makes the desktop send its
    // picture, which is what a display must show before anything changes on it.
    // Only once the stream runs: paused while it is still being set up, it may never start.
    if (s.served || f.held || !f.active || f.gone || !f.stream || !f.firstBufferAt ||
        now - std::max(s.startedAt, *f.firstBufferAt) < kFirstPictureWait || now - f.askedAt < kFirstPictureWait)
        return;
    f.askedAt = now;
    f.resumeAt = now + kTick;
    pw_stream_set_active(f.stream, false);
}

void PortalCaptureService::Impl::updatePointer(const Feed* latest) {
    std::optional<Point> place = latest ? latest->pointer : std::nullopt;
    for (const auto& c : conversations)
        for (const auto& f : c->feeds)
            if (!place && f->pointer)
                place = f->pointer;
    std::lock_guard lock(mutex);
    cursor = place;
}

void PortalCaptureService::Impl::refuse(DisplayID display, const std::string& why) {
    if (refused.emplace(display, why).second)
        portalLog().error("Display %u is not captured: %s", display, why.c_str());
}

PortalCaptureService::PortalCaptureService(std::shared_ptr<wayland::Session> outputs,
                                           std::shared_ptr<RestoreTokenStore> tokens)
    : impl_(std::make_unique<Impl>()) {
    impl_->outputs = std::move(outputs);
    impl_->tokens = std::move(tokens);
    impl_->setUp();
}

PortalCaptureService::~PortalCaptureService() { impl_->tearDown(); }

std::optional<std::string> PortalCaptureService::failure() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->failure;
}

std::optional<Point> PortalCaptureService::pointer() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->cursor;
}

FrameSurfacePtr PortalCaptureService::snapshot(DisplayID id) {
    {
        std::lock_guard lock(impl_->snapshotMutex);
        if (impl_->closing)
            return nullptr;
        ++impl_->snapshotsTaking;
    }
    struct Taken {
        Impl& impl;
        ~Taken() {
            std::lock_guard lock(impl.snapshotMutex);
            --impl.snapshotsTaking;
            impl.snapshotsDone.notify_all();
        }
    } taken{*impl_};
    const wayland::OutputLayout layout = impl_->outputs->layout();
    const wayland::Output* o = layout.find(id);
    if (!o)
        return nullptr;
    const Size size = wayland::uprightSize(o->pixelWidth, o->pixelHeight, o->transform);
    // A stream of its own at full size: it shares the display's session, so a
    // running preview's consent serves, and it ends with its first frame.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        FrameSurfacePtr surface;
    };
    auto outcome = std::make_shared<Outcome>();
    auto queue = std::make_shared<DispatchQueue>("io.overlook.portal.snapshot");
    StreamProperties properties;
    properties.showCursor = false;
    auto stream = createStream(id, std::int64_t(size.width), std::int64_t(size.height), kPixelFormatBGRA, properties,
                               queue, [outcome](FrameStatus status, FrameSurfacePtr surface) {
                                   if (status != FrameStatus::FrameComplete && status != FrameStatus::Stopped)
                                       return;
                                   std::lock_guard lock(outcome->mutex);
                                   if (!outcome->answered) {
                                       outcome->answered = true;
                                       outcome->surface = std::move(surface);
                                   }
                                   outcome->done.notify_all();
                               });
    if (!stream)
        return nullptr;
    stream->start();
    FrameSurfacePtr result;
    {
        std::unique_lock lock(outcome->mutex);
        if (!outcome->done.wait_for(lock, kSnapshotTimeout, [&] { return outcome->answered; }))
            portalLog().error("No picture of display %u came through the desktop portal in time (it sends one "
                              "when something on the display changes)",
                              id);
        result = outcome->surface;
    }
    stream.reset();
    queue->shutdown(DispatchQueue::Shutdown::DropPending);
    return result;
}

PortalStats PortalCaptureService::stats() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->stats;
}

std::unique_ptr<CaptureStream> PortalCaptureService::createStream(DisplayID display, std::int64_t width,
                                                                  std::int64_t height, std::uint32_t pixelFormat,
                                                                  const StreamProperties& properties,
                                                                  std::shared_ptr<DispatchQueue> queue,
                                                                  FrameHandler handler) {
    if (pixelFormat != kPixelFormatBGRA || width <= 0 || height <= 0 || width > 16384 || height > 16384)
        return nullptr;
    auto state = std::make_shared<StreamState>(display, static_cast<int>(width), static_cast<int>(height),
                                               properties.showCursor, std::move(queue), std::move(handler));
    {
        std::lock_guard lock(impl_->mutex);
        impl_->streams.push_back(state);
    }
    Impl* impl = impl_.get();
    impl->wake();
    return std::make_unique<ServedStream>(std::move(state), [impl] { impl->wake(); },
                                          [impl](const ServedStreamState* gone) {
                                              std::lock_guard lock(impl->mutex);
                                              std::erase_if(impl->streams,
                                                            [gone](const auto& s) { return s.get() == gone; });
                                          });
}

} // namespace overlook::portal
