#include "Platform/Portal/PortalInternals.h"

#include "Platform/Portal/BufferGeometry.h"
#include "Platform/Wayland/Copy.h"

#include <spa/debug/types.h>
#include <spa/param/video/type-info.h>

#include <cerrno>

namespace overlook::portal {

namespace {
// The video formats read, the engine's own first; 8-bit formats are named by their
// bytes in memory, 10-bit ones by the little-endian word from its highest bits.
constexpr std::uint32_t kReadableFormats[] = {
    SPA_VIDEO_FORMAT_BGRx,       SPA_VIDEO_FORMAT_BGRA,       SPA_VIDEO_FORMAT_RGBx,       SPA_VIDEO_FORMAT_RGBA,
    SPA_VIDEO_FORMAT_xRGB,       SPA_VIDEO_FORMAT_ARGB,       SPA_VIDEO_FORMAT_xBGR,       SPA_VIDEO_FORMAT_ABGR,
    SPA_VIDEO_FORMAT_xRGB_210LE, SPA_VIDEO_FORMAT_ARGB_210LE, SPA_VIDEO_FORMAT_xBGR_210LE, SPA_VIDEO_FORMAT_ABGR_210LE,
    SPA_VIDEO_FORMAT_RGBx_102LE, SPA_VIDEO_FORMAT_RGBA_102LE, SPA_VIDEO_FORMAT_BGRx_102LE, SPA_VIDEO_FORMAT_BGRA_102LE,
};
} // namespace

const spa_data* pictureData(const spa_buffer& buffer) {
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
        header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED))
        return nullptr;
    if (buffer.n_datas < 1)
        return nullptr;
    const spa_data& d = buffer.datas[0];
    if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return nullptr;
    return &d;
}

std::optional<wayland::PixelLayout> videoPixelLayout(std::uint32_t spaFormat) {
    switch (spaFormat) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
        return wayland::kBgrxLayout;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
        return wayland::kRgbxLayout;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
        return wayland::PixelLayout{8, 16, 24, 8};
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
        return wayland::PixelLayout{24, 16, 8, 8};
    case SPA_VIDEO_FORMAT_xRGB_210LE:
    case SPA_VIDEO_FORMAT_ARGB_210LE:
        return wayland::PixelLayout{20, 10, 0, 10};
    case SPA_VIDEO_FORMAT_xBGR_210LE:
    case SPA_VIDEO_FORMAT_ABGR_210LE:
        return wayland::PixelLayout{0, 10, 20, 10};
    case SPA_VIDEO_FORMAT_RGBx_102LE:
    case SPA_VIDEO_FORMAT_RGBA_102LE:
        return wayland::PixelLayout{22, 12, 2, 10};
    case SPA_VIDEO_FORMAT_BGRx_102LE:
    case SPA_VIDEO_FORMAT_BGRA_102LE:
        return wayland::PixelLayout{2, 12, 22, 10};
    default:
        return std::nullopt;
    }
}

// Joins PipeWire through the portal's descriptor (taken), watching the core for a
// lost connection and the registry for nodes that go away.
bool PortalCaptureService::Impl::connectPipeWire(Conversation& c, int fd) {
    c.core = pw_context_connect_fd(context, fd, nullptr, 0); // takes the descriptor
    if (!c.core) {
        fail(std::string("PipeWire is not running: ") + std::strerror(errno));
        return false;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
            auto& c = *static_cast<Conversation*>(data);
            if (id == PW_ID_CORE && res == -EPIPE) {
                // Nothing more comes from any stream: a failure of the service, so that
                // a picture is not written with displays missing from it.
                c.owner->fail(std::string("the connection to PipeWire was lost (") + (message ? message : "") + ")");
                for (const auto& f : c.feeds) {
                    f->end();
                    f->pointer.reset();
                }
                c.owner->updatePointer(nullptr);
                c.owner->wake();
            }
        };
        return e;
    }();
    pw_core_add_listener(c.core, &c.coreListener, &coreEvents, &c);
    // A display unplugged ends its node without a word from the portal.
    c.registry = pw_core_get_registry(c.core, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global_remove = [](void* data, std::uint32_t id) {
            auto& c = *static_cast<Conversation*>(data);
            for (const auto& f : c.feeds)
                if (f->node == id && !f->gone) {
                    f->end();
                    portalLog().info("The PipeWire stream of display %u is gone; its stream ends", f->display);
                }
        };
        return e;
    }();
    pw_registry_add_listener(c.registry, &c.registryListener, &registryEvents, &c);
    return true;
}

void PortalCaptureService::Impl::connectFeed(Conversation& c, DisplayID display, std::uint32_t node, const wayland::OutputLayout& layout) {
    auto feed = std::make_unique<Feed>();
    feed->owner = this;
    feed->conversation = &c;
    feed->display = display;
    feed->node = node;
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr);
    feed->stream = pw_stream_new(c.core, "overlook", props);
    if (!feed->stream) {
        refuse(display, "PipeWire refused a stream");
        return;
    }
    static const pw_stream_events streamEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
            auto& f = *static_cast<Feed*>(data);
            if ((state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) && !f.gone) {
                f.end();
                portalLog().info("The PipeWire stream of display %u ended (%s)", f.display, error ? error : "");
                f.owner->wake();
            }
        };
        e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
            static_cast<Feed*>(data)->owner->formatChanged(*static_cast<Feed*>(data), id, param);
        };
        e.process = [](void* data) { static_cast<Feed*>(data)->owner->process(*static_cast<Feed*>(data)); };
        e.remove_buffer = [](void* data, pw_buffer* buffer) {
            auto& f = *static_cast<Feed*>(data);
            if (f.held == buffer)
                f.held = nullptr;
        };
        return e;
    }();
    pw_stream_add_listener(feed->stream, &feed->listener, &streamEvents, feed.get());

    double rate = 60;
    if (const wayland::Output* o = layout.find(display); o && o->refreshRate > 0)
        rate = o->refreshRate;
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame frame;
    spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_frame choice;
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(&b, kReadableFormats[0]); // the default
    for (std::uint32_t format : kReadableFormats)
        spa_pod_builder_id(&b, format);
    spa_pod_builder_pop(&b, &choice);
    const spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384),
                        defSize = SPA_RECTANGLE(1920, 1080);
    const spa_fraction noRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(std::uint32_t(rate + 0.5), 1);
    const spa_pod* params[1];
    spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
                        // Frames come when something changed, at most at the display's rate.
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&noRate), SPA_FORMAT_VIDEO_maxFramerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &noRate, &maxRate), 0);
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
    const int r = pw_stream_connect(feed->stream, PW_DIRECTION_INPUT, node,
                                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                 PW_STREAM_FLAG_MAP_BUFFERS |
                                                                 PW_STREAM_FLAG_DONT_RECONNECT),
                                    params, 1);
    if (r < 0) {
        refuse(display, std::string("PipeWire could not connect the stream: ") + std::strerror(-r));
        return;
    }
    c.feeds.push_back(std::move(feed));
}

void PortalCaptureService::Impl::formatChanged(Feed& f, std::uint32_t id, const spa_pod* param) {
    if (!param || id != SPA_PARAM_Format)
        return;
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return;
    // The held buffer was laid out for the old format: read with the new one it could
    // be read past its end.
    if (f.held) {
        pw_stream_queue_buffer(f.stream, f.held);
        f.held = nullptr;
    }
    f.haveFormat = spa_format_video_raw_parse(param, &f.format) >= 0;
    if (f.haveFormat) {
        const char* name = spa_debug_type_find_short_name(spa_type_video_format, f.format.format);
        portalLog().info("Display %u: PipeWire sends %u x %u pictures in %s", f.display, f.format.size.width,
                         f.format.size.height, name ? name : "an unknown format");
    }
    // Shared memory only: a DMA-BUF cannot be read honestly without a GPU.
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[3];
    std::uint32_t count = 0;
    // One buffer more than the producer needs: we hold one.
    params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 3, 16), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    if (cursorModes & kCursorMetadata)
        // mutter offers room for a 384 x 384 bitmap and nothing else: a smaller range
        // has no overlap with it and the stream comes without any cursor metadata.
        params[count++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(CURSOR_META_SIZE(384, 384), CURSOR_META_SIZE(1, 1), CURSOR_META_SIZE(1024, 1024))));
    pw_stream_update_params(f.stream, params, count);
}

void PortalCaptureService::Impl::process(Feed& f) {
    // Only the newest picture counts; older buffers go straight back. A buffer that
    // only moves the cursor (GNOME sends one for each pointer motion), or a broken
    // one, must not push out a picture that came before it: the desktop may send no other.
    pw_buffer* newest = nullptr;
    bool cursorMoved = false;
    while (pw_buffer* b = pw_stream_dequeue_buffer(f.stream)) {
        if (!f.firstBufferAt)
            f.firstBufferAt = Clock::now();
        cursorMoved |= readCursor(f, *b->buffer);
        if (!pictureData(*b->buffer)) {
            pw_stream_queue_buffer(f.stream, b);
            continue;
        }
        if (newest)
            pw_stream_queue_buffer(f.stream, newest);
        newest = b;
    }
    if (!newest) {
        // The pointer moved over a still picture: the picture again, with the pointer
        // drawn where it is now (frames show it, as they do on X11).
        if (cursorMoved && f.held && f.haveFormat)
            deliver(f, *f.held->buffer);
        return;
    }
    if (!deliver(f, *newest->buffer)) {
        pw_stream_queue_buffer(f.stream, newest);
        return;
    }
    if (f.held)
        pw_stream_queue_buffer(f.stream, f.held);
    f.held = newest;
}

namespace {

// The cursor bitmap of a metadata block of `size` bytes, as premultiplied ARGB; nullopt
// when the block holds none, an empty image when it says the pointer has no picture.
// The producer is another process: nothing outside the block is read.
std::optional<CursorImage> cursorBitmap(const spa_meta_cursor& cursor, std::uint32_t size) {
    if (cursor.bitmap_offset < sizeof(spa_meta_cursor) || cursor.bitmap_offset > size ||
        size - cursor.bitmap_offset < sizeof(spa_meta_bitmap))
        return std::nullopt;
    const auto* bitmap = SPA_PTROFF(&cursor, cursor.bitmap_offset, const spa_meta_bitmap);
    const std::uint32_t w = bitmap->size.width, h = bitmap->size.height;
    CursorImage image;
    if (w == 0 || h == 0)
        return image;
    int order[4]; // the byte of each of alpha, red, green, blue
    switch (bitmap->format) {
    case SPA_VIDEO_FORMAT_RGBA: order[0] = 3, order[1] = 0, order[2] = 1, order[3] = 2; break;
    case SPA_VIDEO_FORMAT_BGRA: order[0] = 3, order[1] = 2, order[2] = 1, order[3] = 0; break;
    case SPA_VIDEO_FORMAT_ARGB: order[0] = 0, order[1] = 1, order[2] = 2, order[3] = 3; break;
    case SPA_VIDEO_FORMAT_ABGR: order[0] = 0, order[1] = 3, order[2] = 2, order[3] = 1; break;
    default: return std::nullopt;
    }
    const std::uint64_t start = std::uint64_t(cursor.bitmap_offset) + bitmap->offset;
    if (w > 1024 || h > 1024 || bitmap->stride < std::int32_t(w * 4) ||
        start + std::uint64_t(bitmap->stride) * (h - 1) + w * 4 > size)
        return std::nullopt;
    image.width = int(w);
    image.height = int(h);
    image.hotX = cursor.hotspot.x;
    image.hotY = cursor.hotspot.y;
    image.pixels.resize(std::size_t(w) * h);
    const auto* base = reinterpret_cast<const std::uint8_t*>(&cursor) + start;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t* p = base + std::size_t(y) * bitmap->stride + x * 4;
            const std::uint32_t a = p[order[0]];
            // Premultiplied: no colour brighter than its coverage.
            const auto c = [&](int i) { return std::min<std::uint32_t>(p[order[i]], a); };
            image.pixels[std::size_t(y) * w + x] = a << 24 | c(1) << 16 | c(2) << 8 | c(3);
        }
    return image;
}

} // namespace

bool PortalCaptureService::Impl::readCursor(Feed& f, spa_buffer& buffer) {
    spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
    bool changed = false;
    if (meta && meta->data && meta->size >= sizeof(spa_meta_cursor)) {
        const auto* cursorMeta = static_cast<const spa_meta_cursor*>(meta->data);
        if (auto image = cursorBitmap(*cursorMeta, meta->size)) {
            f.cursorImage = std::move(*image);
            changed = true;
        }
        // Every stream reports the cursor; only the one it is over places it. The
        // others mark it invalid: the pointer is elsewhere, and a crosshair left at
        // its last place here would be a lie.
        std::optional<Point> here;
        const wayland::OutputLayout layout = outputs->layout();
        const std::int32_t x = cursorMeta->position.x, y = cursorMeta->position.y;
        if (const wayland::Output* o = layout.find(f.display);
            o && f.haveFormat && spa_meta_cursor_is_valid(cursorMeta) && x >= 0 && y >= 0 &&
            std::uint32_t(x) < f.format.size.width && std::uint32_t(y) < f.format.size.height) {
            const double sx = o->logical.width / f.format.size.width;
            const double sy = o->logical.height / f.format.size.height;
            here = Point{o->logical.x + x * sx, o->logical.y + y * sy};
        }
        f.pointer = here;
        const std::optional<Point> at = here ? std::optional<Point>(Point{double(x), double(y)}) : std::nullopt;
        changed |= at.has_value() != f.cursorAt.has_value() || (at && (at->x != f.cursorAt->x || at->y != f.cursorAt->y));
        f.cursorAt = at;
        updatePointer(&f);
    }
    return changed;
}

// To every started stream of the feed's display, or to `only`; false when the
// buffer holds no picture.
bool PortalCaptureService::Impl::deliver(Feed& f, spa_buffer& buffer, StreamState* only) {
    const spa_data* picture = pictureData(buffer);
    const int width = int(f.format.size.width), height = int(f.format.size.height);
    if (!f.haveFormat || !picture || width <= 0 || height <= 0)
        return false;
    const spa_data& d = *picture;
    const std::optional<BufferRows> rows =
        readableRows(d.chunk->offset, d.chunk->stride, d.maxsize, width, height, 4);
    if (!rows) {
        // The producer is another process: a buffer that does not hold the picture
        // its format promises is never read, and said once per stream.
        if (!f.badBufferSaid) {
            f.badBufferSaid = true;
            portalLog().error("Display %u: a PipeWire buffer of %u bytes cannot hold a %d x %d picture at offset %u "
                              "with a stride of %d bytes; such buffers are dropped",
                              f.display, d.maxsize, width, height, d.chunk->offset, d.chunk->stride);
        }
        return false;
    }
    const std::optional<wayland::PixelLayout> layout = videoPixelLayout(f.format.format);
    if (!layout) {
        if (!f.badBufferSaid) {
            f.badBufferSaid = true;
            const char* name = spa_debug_type_find_short_name(spa_type_video_format, f.format.format);
            portalLog().error("Display %u: PipeWire sends pictures in a format Overlook cannot read (%s); they are "
                              "dropped",
                              f.display, name ? name : "unknown");
        }
        return false;
    }
    const auto* pixels = static_cast<const std::uint8_t*>(d.data) + rows->first;
    const int stride = rows->stride;
    const auto now = Clock::now();
    for (const auto& s : known) {
        if (s->display != f.display || !s->started || s->removed || (only && s.get() != only))
            continue;
        std::shared_ptr<FrameSurface> surface = s->frames.take();
        wayland::reduceInto(pixels, *layout, width, height, stride, rows->bottomUp, 0, *surface);
        if (f.cursorAt && s->showCursor) // snapshots go without it, as on X11
            drawCursor(*surface, f.cursorImage, *f.cursorAt, Rect(0, 0, width, height),
                       double(width) / surface->width(), double(height) / surface->height());
        // The desktop sends a frame for every damaged commit, also for the
        // preview's own redraws: a picture equal to the last one is no change.
        const bool changed = s->frames.isNewPicture(surface);
        {
            std::lock_guard lock(mutex);
            ++stats.buffers;
            if (changed)
                ++stats.frames;
            stats.reduceNanoseconds += std::uint64_t(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - now).count());
        }
        if (!changed)
            continue;
        s->delivery.post(FrameStatus::FrameComplete, std::move(surface));
        s->lastUpdate = now;
        s->stopSent = false;
        s->served = true;
    }
    return true;
}

} // namespace overlook::portal
