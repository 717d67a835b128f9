
#include "XvfbServer.h"
#include "tests/overlook/PngDecode.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

using namespace overlook::test;
namespace fs = std::filesystem;

TEST(ScreenshotOnX11, EqualsTheRootWindowDumpOnTwoMonitorsWithAndWithoutSharedMemory) {
    for (const bool sharedMemory : {true, false}) {
        SCOPED_TRACE(sharedMemory ? "MIT-SHM" : "GetImage");
        XvfbServer server(3840, 1080, sharedMemory);
        ASSERT_TRUE(server.running());
        server.setMonitors({"MAIN 1920x1080+1920+0", "LEFT 1920x1080+0+0"});
        const unsigned colours[] = {0x102030, 0xF0E0D0, 0x00FF7F, 0x8000FF, 0xFFFFFF, 0x336699};
        for (int i = 0; i < 6; ++i)
            server.fill(i * 600 + 17, (i * 131) % 700, 500 + i * 11, 300 + i * 7, colours[i]);

        const ScratchFolder dir("x11shot");
        const std::string png = dir / "shot.png";
        ASSERT_EQ(server.output(OVERLOOK_BINARY " screenshot --backend x11 --output '" + png + "'; echo exit $?"),
                  png + "\nexit 0\n");
        const auto root = server.dump();
        const auto before = fs::file_size(png);
        EXPECT_NE(server.run(OVERLOOK_BINARY " screenshot --output '" + png + "' 2>/dev/null"), 0);
        EXPECT_EQ(fs::file_size(png), before);

        const auto shot = decodePng(png);
        ASSERT_TRUE(shot && root);
        ASSERT_EQ(shot->width, 3840);
        ASSERT_EQ(shot->height, 1080);
        EXPECT_FALSE(shot->hasAlpha); // the monitors cover the whole picture
        int differing = 0;
        for (std::size_t i = 0; i < shot->pixels.size(); ++i)
            if (shot->pixels[i] != (0xFF000000u | root->pixels[i]) && differing++ < 5)
                ADD_FAILURE() << "pixel " << i % 3840 << "," << i / 3840 << ": " << std::hex << shot->pixels[i]
                              << " vs " << root->pixels[i];
        EXPECT_EQ(differing, 0);
    }
}

TEST(PreviewOnX11, StopsAtOnceWithAMessageWhenTheXServerGoesAway) {
    auto server = std::make_unique<XvfbServer>(1280, 720);
    ASSERT_TRUE(server->running());
    server->setMonitors({"MAIN 1280x720+0+0"});
    const ScratchFolder dir("x11preview");
    const std::string png = dir / "preview.png", err = dir / "stderr.txt";
    const pid_t child = spawn(OVERLOOK_BINARY " preview --backend x11 --frames 30 --output '" + png + "' >/dev/null",
                              {{"DISPLAY", server->name()}}, err);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    server.reset();
    const int status = exitStatusWithin(child, 3000); // -1: still running
    if (status == -1)
        stop(child);
    EXPECT_TRUE(status > 0 && status < 128) << "an exit, not a crash or a hang: " << status;
    EXPECT_FALSE(fs::exists(png));
    EXPECT_NE(readFile(err).find("no preview was written"), std::string::npos) << readFile(err);
}
