#include "PictureSupport.h"

#include <atomic>
#include <cstdlib>

using namespace overlook;
using namespace overlook::test;

namespace {
constexpr std::uint32_t kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF, kWhite = 0xFFFFFFFF;

Image flippedToTopRowFirst(const Image& image) {
    return image.transformed({1, 0, 0, -1, 0, 0}).transformed(AffineTransform::translation(0, image.extent().height));
}
} // namespace

// Sanitizers bring allocators of their own, which these counters would bypass.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define OVERLOOK_COUNTS_ALLOCATIONS 0
#else
#define OVERLOOK_COUNTS_ALLOCATIONS 1
// Counts malloc calls, also from libraries, while `counting` is set.
namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
void count() {
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t n) { return count(), __libc_malloc(n); }
void* calloc(std::size_t n, std::size_t size) { return count(), __libc_calloc(n, size); }
void* realloc(void* p, std::size_t n) { return count(), __libc_realloc(p, n); }
}
#endif

TEST(ImageContext, ClearsAndRefusesWhatItCannotRender) {
    const Image image = Image::fromSurface(solidSurface(10, 10, kRed));
    Picture picture(8, 8, kRed);
    CpuImageContext context;
    ASSERT_FALSE(context.clear(picture.destination()));
    EXPECT_EQ(picture.at(3, 2), 0u);
    EXPECT_FALSE(context.render(image, Rect::null(), picture.destination(), {0, 0}));
    EXPECT_EQ(context.lastLayerCount(), 0u);

    EXPECT_TRUE(context.render(image, Rect::infinite(), picture.destination(), {0, 0}));
    EXPECT_TRUE(context.render(image, Rect(0, 0, NAN, 1), picture.destination(), {0, 0}));
    EXPECT_TRUE(context.render(image, Rect(0, 0, 1, 1), RenderDestination{}, {0, 0}));
    EXPECT_TRUE(context.clear(RenderDestination{nullptr, 4, 4, 16}));
    EXPECT_TRUE(context.render(image, Rect(0, 0, 1, 1), picture.destination(), {NAN, 0}));
}

TEST(ImageContext, HoldsFewImagesAndReleasesThemAll) {
    // New frame memory every time and changing destination sizes, as streams and windows give.
    const long before = CpuImageContext::liveImageCount();
    {
        CpuImageContext context;
        std::vector<Image> frames;
        for (int i = 0; i < 40; ++i) {
            frames.push_back(Image::fromSurface(solidSurface(10, 10, kRed)).applyingColorControls(0));
            Picture picture(8 + i % 3, 8);
            ASSERT_FALSE(context.render(frames.back(), Rect(0, 0, 10, 10), picture.destination(), {0, 0}));
            EXPECT_LE(CpuImageContext::liveImageCount() - before, 16 + 2 + 1) << "after frame " << i;
        }
    }
    EXPECT_EQ(CpuImageContext::liveImageCount(), before);
}

TEST(ImageContext, ScaledNeighboursTileWithoutSeams) {
    const Image left = Image::fromSurface(solidSurface(37, 20, kRed));
    const Image right = Image::fromSurface(solidSurface(41, 20, kBlue)).transformed(AffineTransform::translation(37, 0));
    const double s = 0.613;
    const Image scaled = right.compositedOver(left).transformed(AffineTransform::scale(s, s));
    Picture picture = renderPicture(scaled, Rect(0, 0, 78 * s, 20 * s));
    for (int y = 0; y < picture.height - 1; ++y)
        for (int x = 0; x < int(78 * s); ++x)
            ASSERT_EQ(alphaOf(picture.at(x, y)), 255) << x << "," << y;
    EXPECT_EQ(picture.at(2, 3), kRed);
    EXPECT_EQ(picture.at(int(78 * s) - 2, 3), kBlue);
}

TEST(ImageContext, BilinearDownscaleAveragesAndIntegerTranslationCopies) {
    std::vector<std::uint32_t> row;
    for (int x = 0; x < 16; ++x)
        row.push_back(x % 2 ? kWhite : 0xFF000000);
    const Image stripes = Image::fromSurface(surfaceOf({row, row, row, row}));
    Picture half = renderPicture(stripes.transformed(AffineTransform::scale(0.5, 0.5)), Rect(0, 0, 8, 2));
    for (int x = 1; x < 7; ++x)
        EXPECT_NEAR(channel(half.at(x, 1), 8), 128, 2) << x;
    Picture shifted = renderPicture(stripes.transformed(AffineTransform::translation(5, 0)), Rect(5, 0, 16, 4));
    EXPECT_EQ(std::vector(shifted.pixels.begin(), shifted.pixels.begin() + 16), row); // the top row
}

TEST(ImageContext, ClampRepeatsTheBorderOfTheClampedExtent) {
    const Image tile = Image::fromSurface(surfaceOf({{kRed, kGreen}, {kBlue, kWhite}}));
    // Image space is y-up: unflipped, the first memory row is drawn at the bottom.
    const Picture plain = renderPicture(tile, tile.extent());
    EXPECT_EQ(plain.at(0, 0), kBlue);
    EXPECT_EQ(plain.at(1, 1), kGreen);
    Picture far = renderPicture(flippedToTopRowFirst(tile).clampedToExtent(), Rect(-100, -100, 202, 202));
    // Beyond each corner the corner, straight above the left column red, right of the bottom row white.
    for (auto [x, y, colour] : {std::tuple{0, 0, kRed}, {201, 0, kGreen}, {0, 201, kBlue}, {201, 201, kWhite},
                                {100, 0, kRed}, {201, 101, kWhite}})
        EXPECT_EQ(far.at(x, y), colour) << x << "," << y;

    // A crop inside the clamp decides which border repeats: only the green pixel.
    const Image green = flippedToTopRowFirst(tile).cropped(Rect(1, 0, 1, 1)).clampedToExtent();
    Picture cropped = renderPicture(green, Rect(-3, -3, 8, 8));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(cropped.at(i, 7 - i), kGreen) << i;
}

TEST(ImageContext, ColorControlsAndPremultipliedSourceOver) {
    std::vector<std::vector<std::uint32_t>> rows(16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const std::uint32_t a = y < 12 ? 255 : 128;
            const std::uint32_t r = (x * 17) * a / 255, g = (y * 16) * a / 255, b = ((x * 7 + y * 11) % 256) * a / 255;
            rows[y].push_back(a << 24 | r << 16 | g << 8 | b);
        }
    const Image source = flippedToTopRowFirst(Image::fromSurface(surfaceOf(rows)));
    const Rect all(0, 0, 16, 16);
    const Picture original = renderPicture(source, all);

    Picture grey = renderPicture(source.applyingColorControls(0), all);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const std::uint32_t p = grey.at(x, y), o = original.at(x, y);
            ASSERT_TRUE(channel(p, 16) == channel(p, 8) && channel(p, 8) == channel(p, 0)) << x << "," << y;
            ASSERT_EQ(alphaOf(p), alphaOf(o));
            const double luminance = 0.2126 * channel(o, 16) + 0.7152 * channel(o, 8) + 0.0722 * channel(o, 0);
            ASSERT_LE(std::abs(channel(p, 8) - luminance), 1.0) << x << "," << y;
        }
    EXPECT_TRUE(picturesMatch(renderPicture(source.applyingColorControls(1), all), original, 0));

    // The controls change the layer's own pixels, not what it is composited over.
    const Image halfRed = Image::fromSurface(solidSurface(2, 2, 0x80800000));
    const Image blue = Image::fromSurface(solidSurface(4, 2, kBlue));
    const Rect pixel(0, 0, 1, 1);
    EXPECT_LE(channelDistance(renderPicture(halfRed.compositedOver(blue).compositedOver(Image::transparent()), pixel).at(0, 0),
                              0xFF80007F), 1);
    EXPECT_EQ(renderPicture(blue.compositedOver(halfRed), pixel).at(0, 0), kBlue);
    Picture mixed = renderPicture(halfRed.applyingColorControls(0).compositedOver(blue), Rect(0, 0, 4, 2));
    EXPECT_EQ(mixed.at(3, 0), kBlue);
    EXPECT_EQ(channel(mixed.at(0, 0), 16), channel(mixed.at(0, 0), 8));
    EXPECT_NEAR(channel(mixed.at(0, 0), 0), 127 + 27, 2);
}

TEST(ImageContext, AWarmContextAllocatesNothingPerFrame) {
#if !OVERLOOK_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "allocations are not counted under a sanitizer";
#else
    const Image frame = flippedToTopRowFirst(Image::fromSurface(solidSurface(480, 270, kRed)));
    const Image other = flippedToTopRowFirst(Image::fromSurface(solidSurface(480, 270, kBlue)))
                            .transformed(AffineTransform::translation(480, 0))
                            .applyingColorControls(0);
    const Image corner = Image::fromSurface(solidSurface(4, 4, kGreen)).clampedToExtent();
    const Image picture = corner.compositedOver(other.compositedOver(frame))
                              .cropped(Rect(0, 0, 960, 270))
                              .transformed(AffineTransform::scale(0.625, 0.625));
    Picture destination(600, 169);
    CpuImageContext context;
    const auto frames = [&](int n) {
        for (int i = 0; i < n; ++i) {
            context.clear(destination.destination());
            context.render(picture, picture.extent(), destination.destination(), {0, 0});
        }
    };
    frames(2);
    counting = true;
    void* volatile probe = std::malloc(16); // the one allocation expected: the counter counts at all
    std::free(probe);
    frames(5);
    counting = false;
    EXPECT_EQ(allocations.load(), 1);
    EXPECT_EQ(context.lastLayerCount(), 3u);
#endif
}
