// `overlook screenshot` on a real X server against the server's own dump of the
// root window (xwd), pixel for pixel.

#include "XvfbServer.h"
#include "tests/overlook/PngDecode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

struct XwdPicture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB
};

std::uint32_t big32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Reads the 32-bit ZPixmap dumps that `xwd -root` makes of a depth-24 screen.
std::optional<XwdPicture> readXwd(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.size() < 100)
        return std::nullopt;
    auto field = [&](int i) { return big32(bytes.data() + 4 * i); };
    const std::uint32_t headerSize = field(0), format = field(2), byteOrder = field(7), bpp = field(11),
                        bytesPerLine = field(12), colours = field(19);
    XwdPicture picture;
    picture.width = int(field(4));
    picture.height = int(field(5));
    const std::size_t data = headerSize + std::size_t(colours) * 12;
    if (format != 2 || bpp != 32 || bytes.size() < data + std::size_t(bytesPerLine) * picture.height)
        return std::nullopt;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const std::uint8_t* p = bytes.data() + data + std::size_t(y) * bytesPerLine + std::size_t(x) * 4;
            const std::uint32_t v = byteOrder == 0 ? (std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 |
                                                      std::uint32_t(p[1]) << 8 | p[0])
                                                   : big32(p);
            picture.pixels.push_back(v & 0xFFFFFFu);
        }
    return picture;
}

} // namespace

TEST(ScreenshotOnX11, EqualsTheRootWindowDumpOnTwoMonitors) {
    XvfbServer server(3840, 1080);
    ASSERT_TRUE(server.running());
    // The primary is on the right, so the union starts left of the main display.
    server.setMonitors({"MAIN 1920x1080+1920+0", "LEFT 1920x1080+0+0"});
    const unsigned colours[] = {0x102030, 0xF0E0D0, 0x00FF7F, 0x8000FF, 0xFFFFFF, 0x336699};
    for (int i = 0; i < 6; ++i)
        server.fill(i * 600 + 17, (i * 131) % 700, 500 + i * 11, 300 + i * 7, colours[i]);
    server.fill(0, 0, 40, 20, 0xFF0000); // marks the top-left corner

    char dirName[] = "/tmp/overlook-x11shot-XXXXXX";
    const fs::path dir = mkdtemp(dirName);
    const std::string png = dir / "shot.png", xwd = dir / "root.xwd";
    ASSERT_EQ(server.run(std::string(OVERLOOK_BINARY) + " screenshot --backend x11 --output '" + png + "' >/dev/null"), 0);
    ASSERT_EQ(server.run("xwd -root -silent > '" + xwd + "'"), 0);
    // The same name again is refused and the first file stays.
    const auto before = fs::file_size(png);
    EXPECT_NE(server.run(std::string(OVERLOOK_BINARY) + " screenshot --output '" + png + "' 2>/dev/null"), 0);
    EXPECT_EQ(fs::file_size(png), before);

    const auto shot = decodePng(png);
    const auto root = readXwd(xwd);
    ASSERT_TRUE(shot);
    ASSERT_TRUE(root);
    ASSERT_EQ(shot->width, 3840);
    ASSERT_EQ(shot->height, 1080);
    ASSERT_EQ(root->width, 3840);
    ASSERT_EQ(root->height, 1080);
    EXPECT_FALSE(shot->hasAlpha); // the monitors cover the whole picture
    EXPECT_EQ(shot->at(0, 0), 0xFFFF0000u);
    int differing = 0;
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 3840; ++x)
            if (shot->at(x, y) != (0xFF000000u | root->pixels[std::size_t(y) * 3840 + x]) && differing++ < 5)
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << shot->at(x, y) << " vs "
                              << root->pixels[std::size_t(y) * 3840 + x];
    EXPECT_EQ(differing, 0);
    fs::remove_all(dir);
}
