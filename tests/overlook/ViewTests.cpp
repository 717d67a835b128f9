
#include "Overlook/AppDelegate.h"
#include "Overlook/ContentViews.h"
#include "Overlook/DisplayInformationWindow.h"
#include "Overlook/PreferenceKeys.h"
#include "Overlook/StreamWindow.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "Tessera/DisplayRenderingView/RenderingView.h"
#include "tests/support/FixtureEnvironment.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using namespace overlook;
using namespace overlook::test;

namespace {

char kSettings[] = "/tmp/overlook-viewtests-XXXXXX";
const int kPrivateSettings = setenv("XDG_CONFIG_HOME", mkdtemp(kSettings), 1);

const std::string kThree = arrangementJson({displayJson(10, 0, "Main", 0, 0, 1920, 1080, true),
                                            displayJson(11, 1, "Left", -1280, 0, 1280, 1024),
                                            displayJson(12, 2, "Top", 0, -1080, 1920, 1080)});

class Views : public ::testing::Test {
protected:
    void SetUp() override {
        ensureOffscreenApplication();
        installStandardDefaults();
        store_ = std::make_shared<InMemoryDefaultsStore>();
        store_->set("scale", 4.0);
        setStandardDefaultsStore(store_);
    }
    void TearDown() override { manualMainQueue().drain(); }
    static std::shared_ptr<StreamController> controller(bool hideMain = false) {
        return std::make_shared<StreamController>(hideMain, 4.0);
    }
    FixtureEnvironment env_{kThree};
    std::shared_ptr<InMemoryDefaultsStore> store_;
};

} // namespace

TEST_F(Views, StripButtonsAndTheDisplayList) {
    auto c = controller();
    DisplayView popover(c, true), window(c, false);
    popover.show();
    window.show();
    EXPECT_FALSE(window.controls()->displaysButton()); // no display list in a window
    EXPECT_TRUE(popover.pausedHint()->isVisibleTo(&popover));
    popover.controls()->startAllButton()->click();
    for (const auto& s : c->visibleStreams())
        EXPECT_TRUE(s->isStreaming.get());
    EXPECT_FALSE(popover.pausedHint()->isVisibleTo(&popover));
    popover.controls()->stopAllButton()->click();
    for (const auto& s : c->streams.get())
        EXPECT_FALSE(s->isStreaming.get());
    EXPECT_TRUE(popover.pausedHint()->isVisibleTo(&popover));

    popover.controls()->displaysButton()->click();
    ASSERT_TRUE(popover.controls()->displayList());
    const auto rows = popover.controls()->displayList()->rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_LT(rows[0]->geometry().bottom(), rows[1]->geometry().top()); // laid out, one under another
    popover.controls()->displaysButton()->click();
    EXPECT_FALSE(popover.controls()->displayList());

    FixtureEnvironment none(R"({"displays": []})");
    DisplayView empty(controller(), true);
    EXPECT_FALSE(empty.controls()->stopAllButton()->isEnabled());
    EXPECT_FALSE(empty.controls()->startAllButton()->isEnabled());
    EXPECT_TRUE(empty.hiddenLabel()->isVisibleTo(&empty));
}

TEST_F(Views, RowRulesForVisibilityAndStreams) {
    auto c = controller();
    DisplaySourceList list(c);
    ASSERT_EQ(list.rows().size(), 3u);
    StreamLabel *main = list.rows()[0], *left = list.rows()[1], *top = list.rows()[2]; // platform order

    // The last visible one cannot be hidden.
    left->visibilityButton()->click();
    top->visibilityButton()->click();
    EXPECT_EQ(left->visibilitySymbol(), "eye.slash");
    EXPECT_FALSE(main->visibilityButton()->isEnabled());
    EXPECT_TRUE(left->visibilityButton()->isEnabled());
    EXPECT_FALSE(left->streamButton()->isEnabled()); // hidden: no play
    EXPECT_TRUE(main->streamButton()->isEnabled());

    main->streamButton()->click();
    EXPECT_TRUE(main->stream()->isStreaming.get());
    EXPECT_EQ(main->streamSymbol(), "stop.fill");
    left->visibilityButton()->click();
    EXPECT_TRUE(left->streamButton()->isEnabled());
    EXPECT_EQ(left->streamSymbol(), "play.fill");
    EXPECT_TRUE(main->visibilityButton()->isEnabled());
    c->stopAll();

    c->hideAll(*top->stream());
    EXPECT_FALSE(top->visibilityButton()->isEnabled());
    EXPECT_TRUE(main->visibilityButton()->isEnabled());

    FixtureEnvironment single(arrangementJson({displayJson(10, 0, "Main", 0, 0, 1920, 1080, true)}));
    auto hidden = controller(true);
    DisplayView view(hidden, true);
    manualMainQueue().drain();
    EXPECT_TRUE(view.hiddenLabel()->isVisibleTo(&view));
    EXPECT_FALSE(view.streamView());
    EXPECT_TRUE(view.controls()->startAllButton()->isEnabled());
    DisplaySourceList one(hidden);
    ASSERT_EQ(one.rows().size(), 1u);
    EXPECT_TRUE(one.rows()[0]->visibilityButton()->isEnabled());
    one.rows()[0]->visibilityButton()->click();
    EXPECT_TRUE(view.streamView());
    EXPECT_FALSE(view.hiddenLabel()->isVisibleTo(&view));
}

TEST_F(Views, StreamWindowRules) {
    auto popoverController = controller();
    const auto main = popoverController->streams.get()[0]; // Main
    store_->set("hideMainDisplay", true);
    store_->set("autoPlay", true);
    StreamWindow* window = makeStreamWindow(*main);
    ASSERT_TRUE(window);
    const auto c = window->controller();
    ASSERT_EQ(c->visibleStreams().size(), 1u); // the main display, although hidden by default
    EXPECT_EQ(c->visibleStreams()[0]->display().id, 10u);
    EXPECT_TRUE(c->visibleStreams()[0]->isStreaming.get()); // autoPlay
    EXPECT_FALSE(main->isStreaming.get());                 // the popover's own stream is independent

    auto stream = c->visibleStreams()[0];
    window->delegate().windowWillMiniaturize();
    EXPECT_FALSE(stream->isStreaming.get());
    window->delegate().windowDidDeminiaturize();
    EXPECT_TRUE(stream->isStreaming.get());
    EXPECT_TRUE(window->delegate().previousState().empty());
    c->stopAll();
    window->delegate().windowWillMiniaturize();
    window->delegate().windowDidDeminiaturize();
    EXPECT_FALSE(stream->isStreaming.get());
    stream->start(false);

    auto press = [&](Qt::Key key, Qt::KeyboardModifiers mods) {
        QKeyEvent e(QEvent::KeyPress, key, mods, QString());
        QApplication::sendEvent(window, &e);
        return e.isAccepted();
    };
    EXPECT_TRUE(press(Qt::Key_W, Qt::NoModifier));
    EXPECT_TRUE(press(Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(stream->isStreaming.get());
    QPointer<StreamWindow> alive(window);
    press(Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(stream->isStreaming.get());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(alive); // deleted on close

    StreamWindowDelegate orphan{std::weak_ptr<StreamController>()};
    orphan.windowWillMiniaturize();
    EXPECT_TRUE(orphan.previousState().empty());
    orphan.windowDidDeminiaturize();
    orphan.windowWillClose();
}

TEST_F(Views, PopoverFollowsTheGreySettingAndClosingStopsItsStreams) {
    FixtureEnvironment two(arrangementJson({displayJson(10, 0, "Main", 0, 0, 1600, 900, true),
                                            displayJson(12, 1, "Top", 0, -900, 1600, 900)}));
    Popover popover;
    EXPECT_EQ(popover.windowType(), Qt::Tool); // not a popup, which would grab
    popover.resize(400, 430);
    popover.show();
    auto c = popover.content()->controller();
    manualMainQueue().drain();
    c->startAll();
    for (const auto& s : c->streams.get()) {
        two.capture().emit(s->id(), FrameStatus::FrameComplete);
        FixtureEnvironment::settle(*s->streamQueue());
    }
    RenderingView* view = popover.content()->displayView()->streamView();
    ASSERT_TRUE(view);
    // Stopped streams are grey unless a stored integer 0 says no; the open view follows.
    auto greyness = [&] {
        view->draw();
        const QImage image = view->drawable();
        const QRgb p = image.pixel(image.width() / 2, image.height() * 3 / 4);
        return std::abs(qRed(p) - qGreen(p)) + std::abs(qGreen(p) - qBlue(p));
    };
    EXPECT_GT(greyness(), 3);
    c->stopAll();
    EXPECT_LE(greyness(), 3);
    UserDefaults::standard()->set(preferences::kDesaturationPausedStream, PropertyList(std::int64_t{0}));
    manualMainQueue().drain();
    EXPECT_GT(greyness(), 3);
    UserDefaults::standard()->removeObject(preferences::kDesaturationPausedStream);
    c->startAll();
    popover.close();
    for (const auto& s : c->streams.get())
        EXPECT_FALSE(s->isStreaming.get()); // closing the popover stops its streams
}

TEST_F(Views, PopoversAndStreamWindowsGiveBackTheirStreamsWhenTheyGo) {
    store_->set("autoPlay", false);
    manualMainQueue().drain();
    const auto threadCount = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
    const auto threadsBefore = threadCount();
    std::vector<std::weak_ptr<DisplayStreamer>> streamers;
    for (int cycle = 0; cycle < 20; ++cycle) {
        auto* popover = new Popover();
        popover->show();
        const auto c = popover->content()->controller();
        c->startAll();
        for (const auto& s : c->streams.get()) {
            env_.capture().emit(s->id(), FrameStatus::FrameComplete);
            streamers.push_back(s);
        }
        StreamWindow* window = makeStreamWindow(*c->streams.get()[0]);
        window->controller()->startAll();
        env_.capture().emit(10, FrameStatus::FrameComplete);
        for (const auto& s : window->controller()->streams.get())
            streamers.push_back(s);
        window->close();
        popover->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        manualMainQueue().drain();
    }
    for (int i = 0; i < 200 && threadCount() > threadsBefore + 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        manualMainQueue().drain();
    }
    manualMainQueue().drain();
    EXPECT_EQ(env_.capture().liveStreamCount(), 0);
    for (const auto& weak : streamers)
        EXPECT_TRUE(weak.expired());
    EXPECT_LE(threadCount(), threadsBefore + 2);
}

TEST_F(Views, AStreamWindowMovesWhenItsPictureIsDraggedAndCanStayOnTop) {
    StreamWindow* window = makeWindow(controller());
    window->move(100, 100);
    const QPoint start = window->pos();
    const QPoint grab = window->mapToGlobal(QPoint(50, 40));
    auto send = [&](QEvent::Type type, QPoint global, Qt::MouseButtons buttons) {
        QMouseEvent e(type, window->mapFromGlobal(global), global,
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(window, &e);
    };
    send(QEvent::MouseButtonPress, grab, Qt::LeftButton);
    send(QEvent::MouseMove, grab + QPoint(30, 20), Qt::LeftButton);
    send(QEvent::MouseMove, grab + QPoint(70, 45), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, grab + QPoint(70, 45), Qt::NoButton);
    EXPECT_EQ(window->pos(), start + QPoint(70, 45));
    send(QEvent::MouseMove, grab + QPoint(200, 200), Qt::NoButton);
    EXPECT_EQ(window->pos(), start + QPoint(70, 45));

    EXPECT_FALSE(window->isAlwaysOnTop());
    for (const bool onTop : {true, false}) {
        window->setAlwaysOnTop(onTop);
        EXPECT_EQ(window->isAlwaysOnTop(), onTop);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(window->pos(), start + QPoint(70, 45));
    }
    window->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(Views, DisplayInformationNamesEachDisplayWithItsFacts) {
    const auto displays = LocalDisplay::allDisplays();
    ASSERT_EQ(displays.size(), 3u);
    DisplayInformationWindow window;
    window.present(displays);
    const std::string text = window.text().toStdString();
    for (const char* fact : {"Main (main display)\n  Resolution:", "\nLeft\n",
                             "Resolution:     1280 \u00d7 1024\n  Position:       -1280, 0\n", "Position:       0, -1080"})
        EXPECT_NE(text.find(fact), std::string::npos) << fact << " not in:\n" << text;
    for (const char* internal : {"Display 10", "Display 11", "(0.0", "Display Information"})
        EXPECT_EQ(text.find(internal), std::string::npos) << internal << " in:\n" << text;
    // A fixed size, so that a tiling compositor floats it.
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
}

TEST_F(Views, TheTrayIconStandsOutOnLightAndDarkPanels) {
    const QIcon icon = statusItemIcon();
    ASSERT_FALSE(icon.isNull());
    const auto luminance = [](const QColor& c) { // WCAG's
        auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const auto contrast = [&](const QColor& a, const QColor& b) {
        const double la = luminance(a), lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    };
    for (const char* panel : {"#ffffff", "#e8e8e8", "#2b2b2b", "#000000"}) {
        QImage image(22, 22, QImage::Format_ARGB32);
        image.fill(QColor(panel));
        QPainter painter(&image);
        icon.paint(&painter, image.rect());
        painter.end();
        // A quarter of the square at WCAG's 3:1 for graphical objects.
        int strong = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                strong += contrast(image.pixelColor(x, y), QColor(panel)) >= 3.0;
        EXPECT_GE(strong, 22 * 22 / 4) << "on " << panel;
    }
}
