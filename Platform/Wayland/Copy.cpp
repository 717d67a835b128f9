#include "Copy.h"

#include "Platform/Wayland/Session.h"
#include "Platform/X11/Grabber.h"
#include "Tessera/AreaFilter.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <pixman.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>
#include <wayland-client.h>

namespace overlook::wayland {

std::unique_ptr<ShmBuffer> ShmBuffer::create(wl_shm* shm, std::uint32_t format, int width, int height, int stride) {
    // The compositor's numbers: a picture of at most 16384 pixels a side, in rows
    // of whole pixels that hold it, and no row longer than it needs to be by much.
    if (!shm || width <= 0 || height <= 0 || width > 16384 || height > 16384 || stride < width * 4 ||
        stride > width * 4 + 4096 || stride % 4 != 0)
        return nullptr;
    const std::size_t size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    const int fd = memfd_create("overlook-screencopy", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (ftruncate(fd, static_cast<off_t>(size)) < 0) {
        close(fd);
        return nullptr;
    }
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    std::unique_ptr<ShmBuffer> b(new ShmBuffer());
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(size));
    b->buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
    wl_shm_pool_destroy(pool); // the buffer keeps the memory
    close(fd);
    b->data = static_cast<std::uint8_t*>(data);
    b->format = format;
    b->width = width;
    b->height = height;
    b->stride = stride;
    b->size_ = size;
    return b;
}

ShmBuffer::~ShmBuffer() {
    if (buffer)
        wl_buffer_destroy(buffer);
    if (data)
        munmap(data, size_);
}

std::optional<PixelLayout> shmPixelLayout(std::uint32_t f) {
    // wl_shm's formats are DRM's: named from the word's highest bits down.
    switch (f) {
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XRGB8888:
        return kBgrxLayout;
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XBGR8888:
        return kRgbxLayout;
    case WL_SHM_FORMAT_RGBA8888:
    case WL_SHM_FORMAT_RGBX8888:
        return PixelLayout{24, 16, 8, 8};
    case WL_SHM_FORMAT_BGRA8888:
    case WL_SHM_FORMAT_BGRX8888:
        return PixelLayout{8, 16, 24, 8};
    case WL_SHM_FORMAT_ARGB2101010:
    case WL_SHM_FORMAT_XRGB2101010:
        return PixelLayout{20, 10, 0, 10};
    case WL_SHM_FORMAT_ABGR2101010:
    case WL_SHM_FORMAT_XBGR2101010:
        return PixelLayout{0, 10, 20, 10};
    case WL_SHM_FORMAT_RGBA1010102:
    case WL_SHM_FORMAT_RGBX1010102:
        return PixelLayout{22, 12, 2, 10};
    case WL_SHM_FORMAT_BGRA1010102:
    case WL_SHM_FORMAT_BGRX1010102:
        return PixelLayout{2, 12, 22, 10};
    default:
        return std::nullopt;
    }
}

std::string shmFormatName(std::uint32_t f) {
    if (f == WL_SHM_FORMAT_ARGB8888)
        return "AR24";
    if (f == WL_SHM_FORMAT_XRGB8888)
        return "XR24";
    std::string name;
    for (int i = 0; i < 4; ++i) {
        const char c = char((f >> (8 * i)) & 0xFF);
        if (c < 0x20 || c > 0x7E) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08x", f);
            return hex;
        }
        name += c;
    }
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

struct ShotEvents {
    static void buffer(void* data, zwlr_screencopy_frame_v1* frame, uint32_t format, uint32_t w, uint32_t h,
                       uint32_t stride) {
        auto* shot = static_cast<Shot*>(data);
        if (!shot->offered_)
            shot->offered_ = format;
        // Any format we can read; the engine's own order, which needs no conversion,
        // where several are offered.
        if (const auto layout = shmPixelLayout(format);
            layout && (!shot->chosen_ || (*layout == kBgrxLayout && shot->layout_ != kBgrxLayout))) {
            shot->chosen_ = true;
            shot->layout_ = *layout;
            shot->format_ = format;
            shot->width_ = static_cast<int>(w);
            shot->height_ = static_cast<int>(h);
            shot->stride_ = static_cast<int>(stride);
        }
        // Before version 3 the one buffer event is all there is.
        if (zwlr_screencopy_frame_v1_get_version(frame) < 3)
            shot->copy();
    }
    static void flags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
        static_cast<Shot*>(data)->yInvert_ = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    }
    static void ready(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
        auto* shot = static_cast<Shot*>(data);
        const Shot::Result result{shot->target_, shot->layout_, shot->yInvert_};
        shot->finish(&result);
    }
    static void failed(void* data, zwlr_screencopy_frame_v1*) { static_cast<Shot*>(data)->finish(nullptr); }
    static void damage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
    static void dmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
    static void bufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<Shot*>(data)->copy(); }
};

namespace {
const zwlr_screencopy_frame_v1_listener kShotListener = {ShotEvents::buffer, ShotEvents::flags,  ShotEvents::ready,
                                                         ShotEvents::failed, ShotEvents::damage, ShotEvents::dmabuf,
                                                         ShotEvents::bufferDone};
}

Shot::Shot(Session& session, wl_output* output, bool withCursor, bool waitForChange, BufferFor bufferFor, Done done)
    : session_(session), waitForChange_(waitForChange && session.screencopyVersion() >= 2),
      bufferFor_(std::move(bufferFor)), done_(std::move(done)) {
    frame_ = zwlr_screencopy_manager_v1_capture_output(session.screencopy(), withCursor ? 1 : 0, output);
    zwlr_screencopy_frame_v1_add_listener(frame_, &kShotListener, this);
}

Shot::~Shot() {
    if (frame_)
        zwlr_screencopy_frame_v1_destroy(frame_);
}

void Shot::copy() {
    if (copied_)
        return;
    copied_ = true;
    target_ = chosen_ ? bufferFor_(format_, width_, height_, stride_) : nullptr;
    if (!target_) {
        finish(nullptr);
        return;
    }
    if (waitForChange_)
        zwlr_screencopy_frame_v1_copy_with_damage(frame_, target_->buffer);
    else
        zwlr_screencopy_frame_v1_copy(frame_, target_->buffer);
}

void Shot::finish(const Result* result) {
    if (!done_)
        return;
    Done done = std::move(done_);
    done_ = nullptr;
    done(result); // may destroy this
}

namespace {
// Where a point of the upright picture lies in the copy, both as fractions of
// their size: u' = a·u + b·v + c, v' = d·u + e·v + f. A flipped transform mirrors
// the picture left to right before it turns.
struct Affine {
    double a, b, c, d, e, f;
};
Affine uprightToCopy(int transform) {
    static constexpr Affine table[8] = {
        {1, 0, 0, 0, 1, 0},   // normal
        {0, 1, 0, -1, 0, 1},  // 90
        {-1, 0, 1, 0, -1, 1}, // 180
        {0, -1, 1, 1, 0, 0},  // 270
        {-1, 0, 1, 0, 1, 0},  // flipped
        {0, 1, 0, 1, 0, 0},   // flipped 90
        {1, 0, 0, 0, -1, 1},  // flipped 180
        {0, -1, 1, -1, 0, 1}, // flipped 270
    };
    return table[transform & 7];
}
} // namespace

Size uprightSize(int width, int height, int transform) {
    return (transform & 1) ? Size{double(height), double(width)} : Size{double(width), double(height)};
}

namespace {
// Puts an upright, opaque copy of a picture in the copy's orientation (w × h after
// any reduction) into `out`, pixel for pixel. Walks `out` in tiles so that the
// reads of a turned picture, which go down its columns, stay within a few pages.
void turnInto(const std::uint8_t* pixels, int stride, int w, int h, int transform, FrameSurface& out) {
    const Affine m = uprightToCopy(transform);
    // Pixel (X, Y) of `out` comes from (a·X + b·Y + c·(w − 1), d·X + e·Y + f·(h − 1)).
    const auto a = std::ptrdiff_t(m.a), b = std::ptrdiff_t(m.b), d = std::ptrdiff_t(m.d), e = std::ptrdiff_t(m.e);
    const std::ptrdiff_t x0 = std::ptrdiff_t(m.c) * (w - 1), y0 = std::ptrdiff_t(m.f) * (h - 1);
    const std::ptrdiff_t stepX = a * 4 + d * stride; // bytes from one output pixel to the next
    constexpr int kTile = 64;
    for (int ty = 0; ty < out.height(); ty += kTile)
        for (int tx = 0; tx < out.width(); tx += kTile) {
            const int endY = std::min(ty + kTile, out.height()), endX = std::min(tx + kTile, out.width());
            for (int y = ty; y < endY; ++y) {
                const std::uint8_t* p = pixels + (y0 + d * tx + e * y) * stride + (x0 + a * tx + b * y) * 4;
                std::uint32_t* row = out.mutableRow(y);
                for (int x = tx; x < endX; ++x, p += stepX) {
                    std::uint32_t v;
                    std::memcpy(&v, p, 4);
                    row[x] = v | 0xFF000000u;
                }
            }
        }
}
} // namespace

void reduceInto(const std::uint8_t* pixels, int width, int height, int sourceStride, bool yInvert, int transform,
                FrameSurface& out) {
    const int w = out.width(), h = out.height();
    transform &= 7;
    // Upright rows: a y-inverted copy is read from its last row upwards.
    const std::uint8_t* top = yInvert ? pixels + static_cast<std::ptrdiff_t>(height - 1) * sourceStride : pixels;
    const int stride = yInvert ? -sourceStride : sourceStride;
    // At a whole factor the area filter runs in the copy's own orientation and only
    // the reduced picture is turned: averaging a block commutes with turning it.
    const bool turned = transform & 1;
    const int reducedW = turned ? h : w, reducedH = turned ? w : h;
    const int k = reducedW > 0 && reducedH > 0 ? std::min(width / reducedW, height / reducedH) : 0;
    const int spareX = width - k * reducedW, spareY = height - k * reducedH;
    if (k >= 1 && k <= 16 && spareX < k && spareY < k) {
        // A size the factor does not divide (a stream's size is rounded down) leaves
        // fewer than k pixels over: they are left out, half on either side, rather
        // than paying for pixman's convolution (some fifty times slower).
        top += static_cast<std::ptrdiff_t>(spareY / 2) * stride + spareX / 2 * 4;
        if (transform == 0) {
            boxReduce(top, stride, k, out.mutableData(), out.stride(), w, h);
            return;
        }
        if (k == 1) {
            turnInto(top, stride, width, height, transform, out);
            return;
        }
        thread_local std::vector<std::uint8_t> reduced;
        reduced.resize(std::size_t(reducedW) * reducedH * 4);
        boxReduce(top, stride, k, reduced.data(), reducedW * 4, reducedW, reducedH);
        turnInto(reduced.data(), reducedW * 4, reducedW, reducedH, transform, out);
        return;
    }
    pixman_image_t* src = pixman_image_create_bits(PIXMAN_x8r8g8b8, width, height,
                                                   reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(pixels)),
                                                   sourceStride);
    pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h,
                                                   reinterpret_cast<std::uint32_t*>(out.mutableData()), out.stride());
    // Destination pixels map to the copy through the transform, then upside down
    // for a y-inverted copy.
    Affine m = uprightToCopy(transform);
    if (yInvert)
        m = {m.a, m.b, m.c, -m.d, -m.e, 1 - m.f};
    pixman_transform_t t;
    pixman_transform_init_identity(&t);
    t.matrix[0][0] = pixman_double_to_fixed(m.a * width / w);
    t.matrix[0][1] = pixman_double_to_fixed(m.b * width / h);
    t.matrix[0][2] = pixman_double_to_fixed(m.c * width);
    t.matrix[1][0] = pixman_double_to_fixed(m.d * height / w);
    t.matrix[1][1] = pixman_double_to_fixed(m.e * height / h);
    t.matrix[1][2] = pixman_double_to_fixed(m.f * height);
    pixman_image_set_transform(src, &t);
    // The kernel spans one destination pixel, measured in the copy's own axes.
    const double sx = double(width) / reducedW, sy = double(height) / reducedH;
    int count = 0;
    pixman_fixed_t* params = pixman_filter_create_separable_convolution(
        &count, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy), PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX,
        PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX, 4, 4);
    pixman_image_set_filter(src, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, count);
    free(params);
    pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, w, h);
    pixman_image_unref(src);
    pixman_image_unref(dst);
}

namespace {
// One row of `width` pixels as the engine's BGRx: each colour's top 8 bits (of 10,
// the two lowest are dropped, as 8-bit displays show them). Shifts known when
// compiling let the loop work on several pixels at once.
template <unsigned R, unsigned G, unsigned B, unsigned Drop>
void convertRowAs(const std::uint8_t* from, std::uint32_t* to, int width) {
    for (int x = 0; x < width; ++x) {
        std::uint32_t v;
        std::memcpy(&v, from + std::size_t(x) * 4, 4);
        to[x] = 0xFF000000u | ((v >> (R + Drop)) & 0xFF) << 16 | ((v >> (G + Drop)) & 0xFF) << 8 |
                ((v >> (B + Drop)) & 0xFF);
    }
}

void convertRow(const std::uint8_t* from, std::uint32_t* to, int width, PixelLayout layout) {
    const auto is = [&](int r, int g, int b, int bits) { return layout == PixelLayout{r, g, b, bits}; };
    if (is(20, 10, 0, 10))
        return convertRowAs<20, 10, 0, 2>(from, to, width);
    if (is(0, 10, 20, 10))
        return convertRowAs<0, 10, 20, 2>(from, to, width);
    if (is(22, 12, 2, 10))
        return convertRowAs<22, 12, 2, 2>(from, to, width);
    if (is(2, 12, 22, 10))
        return convertRowAs<2, 12, 22, 2>(from, to, width);
    if (is(8, 16, 24, 8))
        return convertRowAs<8, 16, 24, 0>(from, to, width);
    if (is(24, 16, 8, 8))
        return convertRowAs<24, 16, 8, 0>(from, to, width);
    const unsigned drop = unsigned(layout.bits - 8), r = unsigned(layout.red) + drop, g = unsigned(layout.green) + drop,
                   b = unsigned(layout.blue) + drop;
    for (int x = 0; x < width; ++x) {
        std::uint32_t v;
        std::memcpy(&v, from + std::size_t(x) * 4, 4);
        to[x] = 0xFF000000u | ((v >> r) & 0xFF) << 16 | ((v >> g) & 0xFF) << 8 | ((v >> b) & 0xFF);
    }
}
} // namespace

void reduceInto(const std::uint8_t* pixels, PixelLayout layout, int width, int height, int stride, bool yInvert,
                int transform, FrameSurface& out) {
    if (layout == kBgrxLayout) {
        reduceInto(pixels, width, height, stride, yInvert, transform, out);
        return;
    }
    if (layout == kRgbxLayout) {
        // Averaging treats every byte alike: the swap can wait for the reduced picture.
        reduceInto(pixels, width, height, stride, yInvert, transform, out);
        for (int y = 0; y < out.height(); ++y) {
            std::uint32_t* row = out.mutableRow(y);
            for (int x = 0; x < out.width(); ++x) {
                const std::uint32_t p = row[x];
                row[x] = (p & 0xFF00FF00u) | ((p & 0xFFu) << 16) | ((p >> 16) & 0xFFu);
            }
        }
        return;
    }
    // Any other order, or 10 bits a colour: the rows in the engine's order first, in
    // the same order in memory, so a y-inverted copy stays one.
    thread_local std::vector<std::uint32_t> converted;
    converted.resize(std::size_t(width) * std::size_t(height));
    for (int y = 0; y < height; ++y)
        convertRow(pixels + std::size_t(y) * std::size_t(stride), converted.data() + std::size_t(y) * width, width,
                   layout);
    reduceInto(reinterpret_cast<const std::uint8_t*>(converted.data()), width, height, width * 4, yInvert, transform,
               out);
}

} // namespace overlook::wayland
