#include "PictureSupport.h"

#include "Tessera/ImagePng.h"

#include <cmath>
#include <sstream>

namespace overlook::test {

Picture renderPicture(const Image& image, const Rect& rect) {
    Picture picture(int(std::ceil(rect.width)), int(std::ceil(rect.height)));
    CpuImageContext context;
    if (auto error = context.render(image, rect, picture.destination(), {0, 0}))
        ADD_FAILURE() << error->description;
    return picture;
}

FrameSurfacePtr surfaceOf(const std::vector<std::vector<std::uint32_t>>& rows) {
    auto surface = FrameSurface::allocate(int(rows.front().size()), int(rows.size()));
    for (std::size_t y = 0; y < rows.size(); ++y)
        for (std::size_t x = 0; x < rows[y].size(); ++x)
            surface->mutableRow(int(y))[x] = rows[y][x];
    return surface;
}

FrameSurfacePtr solidSurface(int width, int height, std::uint32_t color) {
    auto surface = FrameSurface::allocate(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            surface->mutableRow(y)[x] = color;
    return surface;
}

int channelDistance(std::uint32_t a, std::uint32_t b) {
    int d = 0;
    for (int shift : {0, 8, 16, 24})
        d = std::max(d, std::abs(channel(a, shift) - channel(b, shift)));
    return d;
}

std::string pictureName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "picture";
    for (char& c : name)
        if (c == '/')
            c = '_';
    return name;
}

::testing::AssertionResult picturesMatch(const Picture& actual, const Picture& expected, int tolerance,
                                         const std::function<bool(int, int)>& consider) {
    if (actual.width != expected.width || actual.height != expected.height)
        return ::testing::AssertionFailure() << "size " << actual.width << "x" << actual.height << ", expected "
                                             << expected.width << "x" << expected.height;
    int mismatches = 0, firstX = -1, firstY = -1;
    for (int y = 0; y < actual.height; ++y)
        for (int x = 0; x < actual.width; ++x)
            if ((!consider || consider(x, y)) && channelDistance(actual.at(x, y), expected.at(x, y)) > tolerance) {
                if (mismatches++ == 0) {
                    firstX = x;
                    firstY = y;
                }
            }
    if (mismatches == 0)
        return ::testing::AssertionSuccess();
    const std::string base = pictureName();
    Picture a = actual, e = expected;
    writePng(a.destination(), base + ".actual.png");
    writePng(e.destination(), base + ".expected.png");
    std::ostringstream out;
    out << mismatches << " pixels differ; first at (" << firstX << ", " << firstY << "): 0x" << std::hex
        << actual.at(firstX, firstY) << " instead of 0x" << expected.at(firstX, firstY) << std::dec
        << "; wrote " << base << ".actual.png and " << base << ".expected.png";
    return ::testing::AssertionFailure() << out.str();
}

} // namespace overlook::test
