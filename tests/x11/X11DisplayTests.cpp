#include "Overlook/LocalDisplayManager.h"
#include "Platform/X11/Monitors.h"
#include "Platform/X11/X11DisplayService.h"
#include "Tessera/Display.h"
#include "XvfbServer.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>

using namespace overlook;
using namespace overlook::test;

namespace {

// The primary in the middle, monitors left of and above it: bounds go negative.
class X11Display : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = std::make_unique<XvfbServer>(3840, 2160); }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        ASSERT_TRUE(server->running()) << "Xvfb did not start";
        server->setMonitors({"MAIN 1920x1080+1920+1080", "LEFT 1920x1080+0+1080", "TOP 1280x1024+1920+56"});
        service = std::make_shared<x11::X11DisplayService>(server->name().c_str());
        ASSERT_TRUE(service->ok()) << service->error();
        setDisplayQueryService(service);
    }
    void TearDown() override { setDisplayQueryService(nullptr); }

    static inline std::unique_ptr<XvfbServer> server;
    std::shared_ptr<x11::X11DisplayService> service;
};

const Display* named(const std::vector<Display>& list, const std::string& name) {
    for (const auto& d : list)
        if (d.localizedName == name)
            return &d;
    return nullptr;
}

} // namespace

TEST_F(X11Display, EnumerationMatchesTheServersMonitors) {
    const auto displays = Display::activeDisplays();
    ASSERT_EQ(displays.size(), 3u);
    const Display *main = named(displays, "MAIN"), *left = named(displays, "LEFT"), *top = named(displays, "TOP");
    ASSERT_TRUE(main && left && top);
    EXPECT_TRUE(main->isMain);
    EXPECT_FALSE(left->isMain || top->isMain);
    EXPECT_EQ(main->bounds, Rect(0, 0, 1920, 1080));
    EXPECT_EQ(left->bounds, Rect(-1920, 0, 1920, 1080));
    EXPECT_EQ(top->bounds, Rect(0, -1024, 1280, 1024));
    EXPECT_EQ(top->screenFrame, Rect(0, 1080, 1280, 1024)); // y-up from the main display's bottom
    EXPECT_EQ(main->size, (Size{508, 285}));
    EXPECT_EQ(main->unitNumber, 0);
    EXPECT_LT(main->id, 0x80000000u); // the output's id; monitors without one get their own
    EXPECT_NE(left->id, top->id);
    EXPECT_EQ(Display(left->id).id, left->id);
    EXPECT_EQ(Display::main().localizedName, "MAIN");
    EXPECT_EQ(displayMetrics(displays), Rect(-1920, -1024, 3840, 2104));
}

TEST_F(X11Display, MouseLocationIsYUpFromTheMainDisplayAndFollowsMovesWithoutPolling) {
    for (const auto& [to, expected] : {std::pair{"1930 1090", Point{10, 1070}}, {"100 1100", Point{-1820, 1060}}}) {
        ASSERT_EQ(server->run(std::string("xdotool mousemove ") + to), 0);
        waitFor([&] { return service->mouseLocation() == expected; }, 1000);
        EXPECT_EQ(service->mouseLocation(), expected);
    }
    // Asked at every frame for a second, a still pointer costs no round trip.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    service->mouseLocation();
    const auto before = service->pointerQueries();
    for (int frame = 0; frame < 60; ++frame)
        EXPECT_EQ(service->mouseLocation(), (Point{-1820, 1060}));
    EXPECT_EQ(service->pointerQueries(), before);
}

TEST_F(X11Display, ReconfigurationIsReportedPerChangedDisplay) {
    std::mutex mutex;
    std::set<DisplayID> changed;
    auto token = service->subscribeReconfiguration([&](DisplayID id) {
        std::lock_guard lock(mutex);
        changed.insert(id);
    });
    const auto reported = [&](DisplayID id) {
        return waitFor([&] {
            std::lock_guard lock(mutex);
            return changed.count(id) > 0;
        }, 4000);
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the watcher takes its first reading
    server->run("xrandr --setmonitor EXTRA 800/211x600/158+0+0 none >/dev/null 2>&1");
    EXPECT_TRUE(reported(x11::idForMonitorName("EXTRA")));
    server->run("xrandr --delmonitor TOP >/dev/null 2>&1");
    EXPECT_TRUE(reported(x11::idForMonitorName("TOP")));
    std::lock_guard lock(mutex);
    EXPECT_EQ(changed.size(), 2u);
    EXPECT_EQ(Display::activeDisplays().size(), 3u);
}

TEST(Monitors, EdidNamesAndBuiltinConnectors) {
    std::vector<std::uint8_t> edid(128, 0);
    const char name[] = "DELL U2720Q\n ";
    edid[72 + 3] = 0xFC;
    std::copy(name, name + 13, edid.begin() + 72 + 5);
    EXPECT_EQ(x11::edidMonitorName(edid.data(), edid.size()), "DELL U2720Q");
    edid[72 + 3] = 0xFF; // a serial number
    EXPECT_FALSE(x11::edidMonitorName(edid.data(), edid.size()));
    EXPECT_FALSE(x11::edidMonitorName(edid.data(), 100));
    for (const char* builtin : {"eDP-1", "LVDS1", "DSI-1"})
        EXPECT_TRUE(x11::isBuiltinConnector(builtin)) << builtin;
    EXPECT_FALSE(x11::isBuiltinConnector("HDMI-1"));
    EXPECT_GE(x11::idForMonitorName("A"), 0x80000000u);
}

TEST(X11DisplayLoss, ASnapshotAfterTheServerWentAwaySaysSoAndNamesNoDisplay) {
    auto own = std::make_unique<XvfbServer>(640, 480);
    ASSERT_TRUE(own->running());
    auto service = std::make_shared<x11::X11DisplayService>(own->name().c_str());
    ASSERT_TRUE(service->ok()) << service->error();
    setDisplayQueryService(service);
    const std::vector<LocalDisplay> displays = LocalDisplay::allDisplays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_FALSE(service->failure());
    own.reset();
    std::string error;
    EXPECT_FALSE(LocalDisplayManager::desktopSnapshot(displays, &error));
    EXPECT_EQ(error, "The connection to the X server was lost");
    setDisplayQueryService(nullptr);
}
