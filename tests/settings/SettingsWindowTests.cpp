#include "Foundation/Logger.h"
#include "Settings/SettingsWindowController.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QToolBar>

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::Settings;

namespace {

// A pane of exactly width × height.
QWidget* fixedPane(int width, int height, const QString& text) {
    auto* pane = new QLabel(text);
    pane->setFixedSize(width, height);
    return pane;
}

std::vector<Pane> twoPanes(int generalHeight = 200, int updatesHeight = 360) {
    std::vector<Pane> panes;
    panes.emplace_back(PaneIdentifier{"general"}, "General", QIcon(), fixedPane(400, generalHeight, "general"));
    panes.emplace_back(PaneIdentifier{"updates"}, "Updates", QIcon(), fixedPane(300, updatesHeight, "updates"));
    return panes;
}

class SettingsWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ensureOffscreenApplication();
        store_ = UserDefaults::open(folder_.dir(), "window");
    }
    test::TempSettings folder_;
    std::shared_ptr<UserDefaults> store_;
};

} // namespace

TEST_F(SettingsWindow, FirstShowSelectsFirstPaneAndReopeningKeepsTheLastOne) {
    std::vector<Pane> panes = twoPanes();
    const QPointer<QWidget> neverShown = panes[1].content;
    SettingsWindowController(std::move(panes), Style::toolbarItems, true, true, store_).show();
    EXPECT_FALSE(neverShown); // the window owns every pane, also one never shown
    std::vector<Pane> shown = twoPanes();
    const QPointer<QWidget> general = shown[0].content, updates = shown[1].content;
    SettingsWindowController c(std::move(shown), Style::toolbarItems, true, true, store_);
    EXPECT_FALSE(c.activeTab()); // nothing is active before the first show
    c.show();
    EXPECT_EQ(c.activeTab(), 0u);
    EXPECT_EQ(c.selectedItemIdentifier(), PaneIdentifier{"general"});
    EXPECT_EQ(c.window()->windowTitle(), "General");
    EXPECT_TRUE(c.toolbar()->isVisible()); // two panes never hide it

    c.toolbar()->actions().at(1)->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !c.isSwitching(); }, 3000));
    EXPECT_EQ(c.window()->windowTitle(), "Updates");
    EXPECT_FALSE(general->isVisible()); // the pane left is hidden, not drawn under the new one
    EXPECT_TRUE(updates->isVisible());
    c.window()->close();
    c.show();
    EXPECT_EQ(c.activeTab(), 1u);
    EXPECT_EQ(c.window()->windowTitle(), "Updates");

    c.show(PaneIdentifier{"no-such-pane"});
    EXPECT_EQ(c.activeTab(), 0u);
    EXPECT_EQ(c.selectedItemIdentifier(), PaneIdentifier{"general"});
    EXPECT_TRUE(general->isVisible() && !updates->isVisible());
    c.show(PaneIdentifier{"updates"});
    EXPECT_EQ(c.activeTab(), 1u);
}

TEST_F(SettingsWindow, ATallerPaneGrowsTheWindowDownwardsWithAnimation) {
    SettingsWindowController c(twoPanes(200, 360), Style::toolbarItems, true, true, store_);
    c.show();
    const QRect before = c.window()->geometry();
    const int toolbar = c.toolbar()->height();
    EXPECT_EQ(before.height(), 200 + toolbar);
    EXPECT_EQ(c.window()->minimumSize(), c.window()->maximumSize()); // not resizable

    std::vector<QRect> steps;
    QObject::connect(c.window(), &UserInteractionPausableWindow::frameChanged,
                     [&] { steps.push_back(c.window()->geometry()); });
    c.select(PaneIdentifier{"updates"});
    EXPECT_TRUE(c.isSwitching());
    EXPECT_FALSE(c.window()->isUserInteractionEnabled()); // input waits for the switch
    EXPECT_EQ(c.activeTab(), 1u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !c.isSwitching(); }, 3000));
    EXPECT_TRUE(c.window()->isUserInteractionEnabled());

    const QRect after = c.window()->geometry();
    EXPECT_EQ(after.topLeft(), before.topLeft());
    EXPECT_EQ(after.height(), 360 + toolbar);
    // Animated: the window passed through sizes in between, its top edge fixed.
    ASSERT_GE(steps.size(), 3u);
    bool between = false;
    for (const QRect& step : steps) {
        EXPECT_EQ(step.top(), before.top());
        between = between || (step.height() > before.height() && step.height() < after.height());
    }
    EXPECT_TRUE(between);

    // Choosing the active pane again changes nothing but the selection.
    steps.clear();
    c.select(PaneIdentifier{"updates"});
    EXPECT_FALSE(c.isSwitching());
    EXPECT_EQ(c.window()->geometry(), after);
    EXPECT_EQ(c.selectedItemIdentifier(), PaneIdentifier{"updates"});

    c.activate(0, false);
    EXPECT_FALSE(c.isSwitching());
    EXPECT_EQ(c.window()->geometry(), before);
}

TEST_F(SettingsWindow, SinglePaneTitleIsTheApplicationAndTheSettingsWord) {
    QApplication::setApplicationName("Overlook");
    for (const bool hideToolbar : {true, false}) {
        std::vector<Pane> one;
        one.emplace_back(PaneIdentifier{"general"}, "General", QIcon(), fixedPane(300, 200, "general"));
        SettingsWindowController c(std::move(one), Style::toolbarItems, true, hideToolbar, store_);
        c.show();
        EXPECT_EQ(c.toolbar()->isVisible(), !hideToolbar);
        EXPECT_EQ(c.window()->windowTitle(), QApplication::applicationDisplayName() + " Settings");
        EXPECT_EQ(c.window()->height(), 200 + (hideToolbar ? 0 : c.toolbar()->height())); // none kept for a hidden one
    }
    EXPECT_EQ(localizedString("no-such-key"), "no-such-key");
}

TEST_F(SettingsWindow, SavedFrameIsRestoredAfterCentringAndUnusableOnesAreIgnored) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QRect moved;
    {
        SettingsWindowController c(twoPanes(), Style::toolbarItems, true, true, store_);
        c.show();
        EXPECT_LE((c.window()->geometry().center() - screen.center()).manhattanLength(), 2);
        c.window()->move(37, 41); // by the frame, as the user drags it
        moved = c.window()->geometry();
        c.window()->close();
    }
    EXPECT_EQ(store_->stringForKey(SettingsWindowController::kFrameAutosaveName),
              QStringLiteral("%1 %2 %3 %4").arg(moved.x()).arg(moved.y()).arg(moved.width()).arg(moved.height()).toStdString());
    ASSERT_TRUE(store_->synchronize());
    {
        SettingsWindowController next(twoPanes(), Style::toolbarItems, true, true, UserDefaults::open(folder_.dir(), "window"));
        next.show();
        EXPECT_EQ(next.window()->geometry(), moved);
    }
    for (const char* bad : {"not a frame", "10 10 0 0", "-90000 -90000 300 200"}) {
        store_->set(SettingsWindowController::kFrameAutosaveName, PropertyList(std::string(bad)));
        LogCapture log;
        SettingsWindowController c(twoPanes(), Style::toolbarItems, true, true, store_);
        c.show();
        EXPECT_NEAR(c.window()->geometry().center().x(), screen.center().x(), 1) << bad;
        EXPECT_FALSE(log.messages().empty()) << bad;
        // Showing stores a good frame again.
        EXPECT_NE(store_->stringForKey(SettingsWindowController::kFrameAutosaveName), std::string(bad));
    }
}
