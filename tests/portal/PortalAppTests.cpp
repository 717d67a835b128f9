// The session's chooser appends a line per dialog to chooser.log.

#include "Redraws.h"
#include "tests/wayland/SwayPictures.h"
#include "tests/support/DesktopSession.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>
#include <unistd.h>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

const std::string kOverlook = OVERLOOK_BINARY;

int lineCount(const fs::path& file) { return occurrences(readFile(file), "\n"); }

// With a home of its own, whose settings keep the restore tokens.
std::string overlookIn(const ScratchFolder& home, const std::string& arguments) {
    return "env HOME='" + home.path().string() + "' XDG_CONFIG_HOME='" + (home / "config").string() + "' " + kOverlook +
           " " + arguments;
}

} // namespace

TEST(PortalApp, EachOutputInPlaceWithConsentAskedOnceThenRestoredAndARefusalOrAMissingPortalEndsTheCommand) {
    DesktopSession sway("wayland", "--portal");
    ASSERT_TRUE(sway.running()) << sway.failure();
    const ScratchFolder dir("portal-app");
    const fs::path portal = sway.folder() / "portal", dialogs = portal / "chooser.log";

    const auto theirs = paintBoth(sway, dir.path(), kBlue, kGreen);
    ASSERT_TRUE(theirs);
    auto redraws = std::make_unique<Redraws>(sway, "HEADLESS-1", "HEADLESS-2");
    const fs::path shot = dir / "shot.png";
    ASSERT_EQ(sway.run(overlookIn(dir, "screenshot --backend portal --output '" + shot.string() + "' >/dev/null")), 0);
    const auto ours = decodePng(shot);
    ASSERT_TRUE(ours);
    ASSERT_EQ(std::pair(ours->width, ours->height), std::pair(3200, 1080));
    EXPECT_EQ(differingPixels(*ours, *theirs), 0);
    // One dialog per output (one output per session here); both consents kept.
    EXPECT_EQ(lineCount(dialogs), 2);
    EXPECT_EQ(occurrences(readFile(dir / "config" / "overlook" / "io.overlook.Overlook.plist"), "portalRestoreToken."), 2);

    // Restored from the tokens: no dialog. 10 bits on the left: its stream is xRGB_210LE.
    redraws.reset();
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-1 render_bit_depth 10"));
    ASSERT_TRUE(paintBoth(sway, dir.path(), kGreen, kBlue));
    redraws = std::make_unique<Redraws>(sway, "HEADLESS-1", "HEADLESS-2");
    const fs::path preview = dir / "preview.png";
    ASSERT_EQ(sway.run(overlookIn(dir, "preview --backend portal --scale 4 --frames 2 --output '" + preview.string() +
                                           "' >/dev/null")),
              0);
    EXPECT_EQ(lineCount(dialogs), 2);
    const auto p = decodePng(preview);
    ASSERT_TRUE(p);
    expectPreviewInPlace(*p, kGreen, kBlue);

    redraws.reset(); // refusals: a home without consent, a still desktop
    const ScratchFolder refusing("portal-refusals");
    const fs::path errors = refusing / "errors.txt", out = refusing / "out.png";
    const std::string toFile = " --output '" + out.string() + "' >/dev/null 2>'" + errors.string() + "'";
    // Each refused command exits 1 with the reason on its standard error and writes nothing.
    const auto refused = [&](const std::string& command, const std::string& reason) -> testing::AssertionResult {
        if (const int status = sway.run(command + toFile); status != 1)
            return testing::AssertionFailure() << "exit status " << status;
        if (readFile(errors).find(reason) == std::string::npos || fs::exists(out))
            return testing::AssertionFailure() << readFile(errors);
        return testing::AssertionSuccess();
    };
    std::ofstream(portal / "choices") << "cancel\ncancel\n";
    EXPECT_TRUE(refused(overlookIn(refusing, "screenshot --backend portal"),
                        "overlook: screen capture was not allowed: the desktop's dialog was cancelled"));
    EXPECT_TRUE(refused(overlookIn(refusing, "preview --backend portal"),
                        "overlook: no preview was written: screen capture was not allowed: the desktop's dialog was "
                        "cancelled"));
    EXPECT_EQ(lineCount(dialogs), 4);

    std::ofstream(refusing / "bus.conf") << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                       "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                       "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
    EXPECT_TRUE(refused("dbus-run-session --config-file='" + (refusing / "bus.conf").string() + "' -- " +
                            overlookIn(refusing, "screenshot --backend portal"),
                        "overlook: no desktop portal on the session bus"));
    EXPECT_TRUE(refused("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent " + overlookIn(refusing, "preview --backend portal"),
                        "overlook: no session bus to reach the desktop portal"));
    EXPECT_EQ(lineCount(dialogs), 4);

    std::ofstream(portal / "choices") << "HEADLESS-1\ncancel\nHEADLESS-2\nHEADLESS-1\n";
    EXPECT_TRUE(refused(overlookIn(refusing, "preview --backend portal"),
                        "overlook: no preview was written: no picture of every display: "));
    EXPECT_NE(readFile(errors).find("stopped before its first frame"), std::string::npos) << readFile(errors);

    const pid_t running = spawn("env -u DISPLAY " + sway.environment() + " " +
                                    overlookIn(refusing, "preview --backend portal --frames 30 --output '" + out.string() + "'"),
                                {}, refusing / "killed.log");
    usleep(2000000);
    const std::string owner = sway.output("dbus-send --session --print-reply=literal --dest=org.freedesktop.DBus "
                                          "/org/freedesktop/DBus org.freedesktop.DBus.GetConnectionUnixProcessID "
                                          "string:org.freedesktop.portal.Desktop");
    const pid_t portalPid = pid_t(std::atoi(owner.substr(owner.find("uint32") + 6).c_str()));
    ASSERT_GT(portalPid, 0) << owner;
    ASSERT_EQ(::kill(portalPid, SIGKILL), 0);
    EXPECT_EQ(exitStatusWithin(running, 10000), 1) << readFile(refusing / "killed.log");
    EXPECT_NE(readFile(refusing / "killed.log").find("the desktop portal went away"), std::string::npos)
        << readFile(refusing / "killed.log");
    EXPECT_FALSE(fs::exists(out));
}

namespace {

// mutter's RemoteDesktop moves the pointer as a user would, for as long as our connection lasts.
class RemotePointer {
public:
    explicit RemotePointer(const std::string& busAddress) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, busAddress.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0)
            return;
        sd_bus_message* reply = nullptr;
        const char* path = nullptr;
        if (sd_bus_call_method(bus_, "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                               "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr, &reply, "") < 0 ||
            sd_bus_message_read(reply, "o", &path) < 0) {
            sd_bus_message_unref(reply);
            return;
        }
        session_ = path;
        sd_bus_message_unref(reply);
        if (!call("Start", ""))
            session_.clear();
    }
    ~RemotePointer() {
        if (!session_.empty())
            call("Stop", "");
        sd_bus_flush_close_unref(bus_);
    }
    RemotePointer(const RemotePointer&) = delete;
    RemotePointer& operator=(const RemotePointer&) = delete;

    bool ok() const { return !session_.empty(); }
    // Via the top-left corner, one axis at a time: motion stops at edges and monitor corners.
    bool moveTo(double x, double y) {
        return call("NotifyPointerMotionRelative", "dd", -20000.0, 0.0) &&
               call("NotifyPointerMotionRelative", "dd", 0.0, -20000.0) &&
               call("NotifyPointerMotionRelative", "dd", x, 0.0) && call("NotifyPointerMotionRelative", "dd", 0.0, y);
    }

private:
    template <typename... A> bool call(const char* method, const char* types, A... arguments) {
        return sd_bus_call_method(bus_, "org.gnome.Mutter.RemoteDesktop", session_.c_str(),
                                  "org.gnome.Mutter.RemoteDesktop.Session", method, nullptr, nullptr, types,
                                  arguments...) >= 0;
    }
    sd_bus* bus_ = nullptr;
    std::string session_;
};

constexpr int kDither = 3;

int brightness(std::uint32_t p) { return int((p >> 16) & 0xFF) + int((p >> 8) & 0xFF) + int(p & 0xFF); }

std::uint32_t blockAverage(const DecodedPng& p, int x0, int y0, int k) {
    std::uint32_t sum[4] = {};
    for (int y = y0; y < y0 + k; ++y)
        for (int x = x0; x < x0 + k; ++x)
            for (int c = 0; c < 4; ++c)
                sum[c] += (p.at(x, y) >> (8 * c)) & 0xFF;
    std::uint32_t out = 0;
    for (int c = 0; c < 4; ++c)
        out |= ((sum[c] + std::uint32_t(k * k / 2)) / std::uint32_t(k * k)) << (8 * c);
    return out;
}

// Pixels of the preview's rectangle that are not the screenshot reduced by `k`.
int unlikeShot(const DecodedPng& preview, const DecodedPng& shot, int k, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            n += !near(preview.at(x, y), blockAverage(shot, x * k, y * k, k), kDither);
    return n;
}

} // namespace

// mutter sends frames only when something changes.
TEST(PortalApp, GnomeShowsEachMonitorInPlaceWithTheCrosshairFromCursorMetadata) {
    const DesktopSession gnome("gnome");
    ASSERT_TRUE(gnome.running()) << gnome.failure();
    const std::string token = gnome.variable("OVERLOOK_GNOME_TOKEN");
    const ScratchFolder dir("portal-gnome");
    // Bounded: without consent the portal would wait for a dialog for ever.
    const auto overlook = [&](const std::string& arguments) {
        return gnome.run("timeout 25 " + overlookIn(dir, arguments) + " >/dev/null 2>>'" + (dir / "log").string() + "'");
    };
    ASSERT_EQ(gnome.storeConsent(overlookIn(dir, "")), 2);
    // Under heavy load headless mutter may leave a still monitor without any picture: a few tries.
    const auto overlookTries = [&](const std::string& arguments) {
        int status = 1;
        for (int attempt = 0; attempt < 3 && status != 0; ++attempt)
            status = overlook(arguments);
        return status;
    };

    // mutter paints each monitor a vignette, brightest in the middle, symmetric: a picture moved, cut or turned shows.
    const fs::path shot = dir / "shot.png";
    ASSERT_EQ(overlook("screenshot --backend portal --output '" + shot.string() + "'"), 0) << readFile(dir / "log");
    // The portal restores under the same token: kept for both, the previews need no dialog.
    const std::string settings = readFile(dir / "config" / "overlook" / "io.overlook.Overlook.plist");
    EXPECT_EQ(occurrences(settings, token), 2) << settings;
    const auto s = decodePng(shot);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->width, 3200);
    ASSERT_EQ(s->height, 1080);
    struct Monitor {
        int x, width, height;
    };
    for (const Monitor m : {Monitor{0, 1920, 1080}, Monitor{1920, 1280, 1024}}) {
        const std::uint32_t middle = s->at(m.x + m.width / 2, m.height / 2);
        EXPECT_EQ(middle >> 24, 0xFFu) << m.x;
        int asymmetric = 0, darker = 0;
        for (int y = 0; y < m.height; y += 7)
            for (int x = 0; x < m.width; x += 7) {
                asymmetric += !near(s->at(m.x + x, y), s->at(m.x + m.width - 1 - x, m.height - 1 - y), kDither);
                darker += brightness(s->at(m.x + x, y)) > brightness(middle) + 3;
            }
        EXPECT_EQ(asymmetric, 0) << m.x;
        EXPECT_EQ(darker, 0) << m.x;
        EXPECT_GT(brightness(middle), brightness(s->at(m.x, 0)) + 40) << m.x;
    }
    // mutter's fixed seed makes Meta-0 blue and Meta-1 olive: swapped streams show.
    const auto channel = [](std::uint32_t p, int shift) { return int((p >> shift) & 0xFF); };
    EXPECT_GT(channel(s->at(960, 540), 0), channel(s->at(960, 540), 16) + 50);
    EXPECT_GT(channel(s->at(2560, 512), 16), channel(s->at(2560, 512), 0) + 10);
    EXPECT_EQ(s->at(3199, 1079) >> 24, 0u); // nothing under the shorter monitor

    // A still desktop's first picture, no crosshair yet (pointer unknown); exit 0 means every
    // monitor sent one. Meta-0, under the pointer, may get only cursor updates: not compared.
    const fs::path preview = dir / "preview.png";
    ASSERT_EQ(overlookTries("preview --backend portal --scale 4 --frames 3 --output '" + preview.string() + "'"), 0)
        << readFile(dir / "log");
    auto p = decodePng(preview);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->width, 800);
    ASSERT_EQ(p->height, 270);
    EXPECT_EQ(unlikeShot(*p, *s, 4, 480, 0, 800, 256), 0);

    // The crosshair follows the pointer from the cursor metadata.
    RemotePointer pointer(gnome.variable("DBUS_SESSION_BUS_ADDRESS"));
    ASSERT_TRUE(pointer.ok());
    const auto previewWith = [&](double x, double y) -> std::optional<DecodedPng> {
        fs::remove(preview);
        if (!pointer.moveTo(x, y))
            return std::nullopt;
        if (overlook("preview --backend portal --scale 4 --frames 3 --output '" + preview.string() + "'") != 0)
            return std::nullopt;
        return decodePng(preview);
    };
    const auto crosshair = [](const DecodedPng& picture, int x0, int y0, int x1, int y1) {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                n += near(picture.at(x, y), 0xFFFFC81Eu, 12); // the default crosshair colour
        return n;
    };
    p = previewWith(400, 300); // 100,75 in the preview
    ASSERT_TRUE(p) << readFile(dir / "log");
    EXPECT_GT(crosshair(*p, 0, 73, 800, 78), 1400);
    EXPECT_GT(crosshair(*p, 98, 0, 103, 270), 450);
    EXPECT_EQ(crosshair(*p, 0, 0, 70, 45), 0);
    EXPECT_EQ(crosshair(*p, 130, 0, 800, 70), 0);
    EXPECT_EQ(crosshair(*p, 130, 85, 800, 270), 0);
    EXPECT_EQ(unlikeShot(*p, *s, 4, 480, 0, 800, 72), 0);
    EXPECT_EQ(unlikeShot(*p, *s, 4, 480, 79, 800, 256), 0);

    p = previewWith(1920 + 600, 500); // 630,125
    ASSERT_TRUE(p) << readFile(dir / "log");
    EXPECT_GT(crosshair(*p, 0, 123, 800, 128), 1400);
    EXPECT_GT(crosshair(*p, 628, 0, 633, 270), 450);
    EXPECT_EQ(crosshair(*p, 0, 0, 600, 115), 0); // nothing left where it was
    EXPECT_EQ(crosshair(*p, 0, 135, 600, 270), 0);

    // Without the crosshair the pointer's bitmap (6 x 6 here) is on its monitor only. It comes
    // with the next buffer after the stream runs, maybe after a short preview: a few tries.
    ASSERT_EQ(overlook("defaults write displayCrosshair false --type bool"), 0);
    int pointerPixels = 0;
    for (int attempt = 0; attempt < 4 && pointerPixels <= 4; ++attempt) {
        p = previewWith(1920 + 600, 500);
        ASSERT_TRUE(p) << readFile(dir / "log");
        pointerPixels = unlikeShot(*p, *s, 4, 480, 0, 800, 256);
    }
    EXPECT_GT(pointerPixels, 4);
    EXPECT_LE(pointerPixels, 36);
    EXPECT_EQ(unlikeShot(*p, *s, 4, 0, 0, 480, 270), 0);

    int added = 0; // a monitor plugged in on the right
    ASSERT_EQ(gnome.script("add-monitor 1024x768 2>&1", &added), "");
    ASSERT_EQ(added, 0);
    ASSERT_EQ(gnome.storeConsent(overlookIn(dir, "")), 3);
    fs::remove(shot);
    ASSERT_EQ(overlookTries("screenshot --backend portal --output '" + shot.string() + "'"), 0) << readFile(dir / "log");
    const auto s3 = decodePng(shot);
    ASSERT_TRUE(s3);
    ASSERT_EQ(s3->width, 4224);
    EXPECT_EQ(s3->at(3200 + 512, 384) >> 24, 0xFFu);
    p = std::nullopt;
    for (int attempt = 0; attempt < 3 && !p; ++attempt)
        p = previewWith(1920 + 600, 500);
    ASSERT_TRUE(p) << readFile(dir / "log");
    ASSERT_EQ(p->width, 1056);
    EXPECT_EQ(unlikeShot(*p, *s3, 4, 800, 0, 1056, 192), 0);
    EXPECT_EQ(unlikeShot(*p, *s3, 4, 0, 0, 480, 270), 0);

    fs::remove(preview); // PipeWire gone during a preview
    const pid_t running = spawn("env -u DISPLAY " + gnome.environment() +
                                    overlookIn(dir, "preview --backend portal --scale 4 --frames 20 --output '" +
                                                        preview.string() + "'"),
                                {}, dir / "killed.log");
    usleep(1500000);
    ASSERT_GT(gnome.pid("pipewire.pid"), 0);
    ASSERT_EQ(::kill(gnome.pid("pipewire.pid"), SIGKILL), 0);
    EXPECT_EQ(exitStatusWithin(running, 10000), 1) << readFile(dir / "killed.log");
    EXPECT_NE(readFile(dir / "killed.log").find("the connection to PipeWire was lost"), std::string::npos)
        << readFile(dir / "killed.log");
    EXPECT_FALSE(fs::exists(preview));
}

