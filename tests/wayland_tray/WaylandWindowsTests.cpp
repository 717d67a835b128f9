// Buttons are clicked in the process: sway has no pointer here.

#include "tests/support/Processes.h"
#include "tests/wayland_tray/SwayWindows.h"

#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/AppDelegate.h"
#include "Overlook/ContentViews.h"
#include "Overlook/QtMainQueue.h"
#include "Overlook/StreamWindow.h"
#include "Platform/Wayland/WaylandCaptureService.h"
#include "Tessera/DisplayRenderingView/RenderingView.h"

#include <QApplication>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::test;

namespace {

// Title → floating.
std::map<std::string, bool> ourWindows(const DesktopSession& sway) {
    std::map<std::string, bool> windows;
    for (const SwayWindow& w : overlookWindows(sway))
        windows[w.title] = w.floating;
    return windows;
}

template <class Predicate> bool settle(Predicate predicate) {
    return waitFor([&] {
        QApplication::processEvents();
        return predicate();
    });
}

} // namespace

TEST(WaylandWindows, ThePopoverFloatsAndAStreamWindowPoppedOutOfItGivesBackItsStreams) {
    DesktopSession sway("wayland");
    ASSERT_TRUE(sway.running()) << sway.failure();
    const ScratchFolder home("wayland-windows");
    const ScopedEnvironment environment({{"HOME", home.path()},
                                         {"XDG_CONFIG_HOME", home / "config"},
                                         {"DISPLAY", ""},
                                         {"XDG_RUNTIME_DIR", sway.variable("XDG_RUNTIME_DIR")},
                                         {"WAYLAND_DISPLAY", sway.variable("WAYLAND_DISPLAY")},
                                         {"QT_QPA_PLATFORM", "wayland"}});
    int argc = 1;
    char name[] = "overlook";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    app.setDesktopFileName("overlook");
    ASSERT_EQ(QGuiApplication::platformName(), "wayland");
    installQtMainQueue();
    installStandardDefaults();
    ASSERT_TRUE(setUpBackend(std::nullopt));

    AppDelegate delegate;
    delegate.togglePopover();
    Popover* popover = delegate.popover();
    ASSERT_TRUE(popover);
    EXPECT_TRUE(settle([&] { // fixed in size, so sway floats it
        const auto w = ourWindows(sway);
        return w.count("Overlook") && w.at("Overlook");
    })) << sway.output("swaymsg -t get_tree -r | head -c 2000");

    // Playing, the popover shows itself, each redraw damage for the next copy: it must come to
    // rest (no copies for 2 s, the view asleep) and still show a change beside it.
    auto* capture = dynamic_cast<wayland::WaylandCaptureService*>(captureService());
    ASSERT_TRUE(capture);
    DisplayView* displayView = popover->content()->displayView();
    RenderingView* picture = displayView->streamView();
    ASSERT_TRUE(picture);
    displayView->controller()->startAll();
    ASSERT_TRUE(settle([&] { return capture->stats().frames >= 2; }));
    bool rested = false;
    for (int attempt = 0; attempt < 5 && !rested; ++attempt) {
        const std::uint64_t copies = capture->stats().copies;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end) {
            QApplication::processEvents();
            usleep(10000);
        }
        rested = capture->stats().copies == copies && picture->isSleeping();
    }
    EXPECT_TRUE(rested) << capture->stats().copies << " copies, " << capture->stats().frames << " frames";
    const auto magentaOnTheRight = [&] {
        const QImage& shown = picture->drawable();
        return !shown.isNull() &&
               shown.pixel(shown.width() * 9 / 10, shown.height() / 2) == 0xFFFF00FFu;
    };
    EXPECT_FALSE(magentaOnTheRight());
    ASSERT_TRUE(sway.swaymsg("output HEADLESS-2 bg '#ff00ff' solid_color"));
    EXPECT_TRUE(settle(magentaOnTheRight));
    displayView->controller()->stopAll();

    HoverControls* controls = popover->content()->displayView()->controls();
    ASSERT_TRUE(controls->displaysButton());
    controls->displaysButton()->click();
    ASSERT_TRUE(settle([&] { return controls->displayList() && controls->displayList()->isVisible(); }));
    EXPECT_TRUE(settle([&] { // the list floats beside it too
        const auto w = ourWindows(sway);
        return w.size() == 2 && std::all_of(w.begin(), w.end(), [](const auto& e) { return e.second; });
    })) << sway.output("swaymsg -t get_tree | grep -E 'name|app_id|floating'");
    const auto rows = controls->displayList()->rows();
    ASSERT_EQ(rows.size(), 2u);
    rows[0]->windowButton()->click();
    StreamWindow* window = nullptr;
    ASSERT_TRUE(settle([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* s = dynamic_cast<StreamWindow*>(w); s && s->isVisible())
                window = s;
        return window != nullptr;
    }));
    const std::string title = window->windowTitle().toStdString();
    EXPECT_TRUE(settle([&] { return ourWindows(sway).count(title) > 0; })) << title;

    window->controller()->startAll();
    std::vector<std::weak_ptr<DisplayStreamer>> streamers;
    for (const auto& s : window->controller()->streams.get())
        streamers.push_back(s);
    ASSERT_FALSE(streamers.empty());
    EXPECT_TRUE(settle([&] { return streamers.front().lock() && streamers.front().lock()->screenImage(); }));
    window->close();
    EXPECT_TRUE(settle([&] {
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (const auto& weak : streamers)
            if (!weak.expired())
                return false;
        return ourWindows(sway).count(title) == 0;
    }));
    delegate.togglePopover();
    EXPECT_TRUE(settle([&] { return ourWindows(sway).count("Overlook") == 0; }));
}
