
#include "KeyboardShortcuts/RecorderCocoa/RecorderCocoa.h"
#include "Overlook/AppDelegate.h"
#include "Overlook/GeneralPane.h"
#include "Overlook/LoginItem.h"
#include "Overlook/PreferenceKeys.h"
#include "Overlook/PreferencesCommand.h"
#include "Overlook/ShortcutPath.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/keyboard_shortcuts/ProcessSettings.h"
#include "tests/support/FixtureEnvironment.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include "tests/support/LaidOut.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <unistd.h>

using namespace overlook;
using overlook::test::controlsOutsideLayouts;

namespace {

class Preferences : public ::testing::Test {
protected:
    void SetUp() override {
        test::processSettingsFolder();
        ensureOffscreenApplication();
        installStandardDefaults();
        for (const char* key : {"scale", "displayCrosshair", "crosshairColor", "crosshairWeight",
                                preferences::kAutoPlay, preferences::kHideMainDisplay})
            store()->removeObject(key);
    }
    void TearDown() override { manualMainQueue().drain(); }
    static std::shared_ptr<UserDefaults> store() { return UserDefaults::standard(); }
};

} // namespace

TEST_F(Preferences, ControlsWriteTheirSettingsAtOnce) {
    GeneralPreferences pane;
    EXPECT_EQ(controlsOutsideLayouts(pane), "");
    EXPECT_FALSE(store()->persistentDomain().contains("scale"));

    pane.previewScale()->activated(3);
    EXPECT_EQ(store()->doubleForKey("scale"), 8.0);

    pane.hideMainDisplay()->click();
    pane.autoPlay()->click();
    EXPECT_TRUE(store()->boolForKey(preferences::kHideMainDisplay)); // the controllers read the store itself
    EXPECT_TRUE(store()->boolForKey(preferences::kAutoPlay));

    pane.lineWidth()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(Defaults::Keys::crosshairWeight().get(), 3.0);
    pane.lineWidth()->setValue(40);
    EXPECT_EQ(Defaults::Keys::crosshairWeight().get(), 12.0); // whole steps, never past the end

    pane.crosshairColor()->click();
    ASSERT_TRUE(pane.crosshairColor()->dialog());
    pane.crosshairColor()->dialog()->setCurrentColor(QColor::fromRgbF(0.0f, 0.5f, 1.0f, 1.0f));
    const auto isPicked = [] {
        const GraphicsColor c = Defaults::Keys::crosshairColor().get();
        return std::abs(c.red) < 1e-3 && std::abs(c.green - 0.5) < 0.005 && std::abs(c.blue - 1) < 1e-3; // 8 bits
    };
    EXPECT_TRUE(isPicked());
    pane.crosshairColor()->dialog()->close(); // closing keeps the pick
    EXPECT_TRUE(isPicked());

    // Escape or Cancel puts back the colour the dialog opened with; OK keeps the pick.
    const auto buttons = pane.crosshairColor()->dialog()->findChild<QDialogButtonBox*>();
    ASSERT_TRUE(buttons && buttons->button(QDialogButtonBox::Ok) && buttons->button(QDialogButtonBox::Cancel));
    for (const auto& [close, keeps] : std::vector<std::pair<std::function<void()>, bool>>{
             {[&] { QTest::keyClick(pane.crosshairColor()->dialog(), Qt::Key_Escape); }, false},
             {[&] { buttons->button(QDialogButtonBox::Cancel)->click(); }, false},
             {[&] { buttons->button(QDialogButtonBox::Ok)->click(); }, true}}) {
        pane.crosshairColor()->click();
        pane.crosshairColor()->dialog()->setCurrentColor(Qt::red);
        EXPECT_NEAR(Defaults::Keys::crosshairColor().get().red, 1.0, 1e-3); // live while picking
        close();
        EXPECT_TRUE(keeps ? std::abs(Defaults::Keys::crosshairColor().get().red - 1) < 1e-3 : isPicked());
        EXPECT_FALSE(pane.crosshairColor()->dialog()->isVisible());
    }
}

TEST_F(Preferences, ExternalWritesMoveTheControlsAndCrosshairOffDisablesItsRows) {
    GeneralPreferences pane;
    Defaults::Keys::scale().set(1.0);
    Defaults::Keys::crosshairWeight().set(7.0);
    Defaults::Keys::crosshairColor().set(GraphicsColor::genericRGB(0, 0, 1));
    store()->set(preferences::kAutoPlay, PropertyList(true));
    manualMainQueue().drain();
    EXPECT_EQ(pane.previewScale()->currentText(), "Full-resolution");
    EXPECT_EQ(pane.lineWidth()->value(), 7);
    EXPECT_EQ(pane.crosshairColor()->color(), QColor(Qt::blue));
    EXPECT_TRUE(pane.autoPlay()->isChecked());

    // Values no control can show are shown as nothing or the nearest, and not overwritten.
    Defaults::Keys::scale().set(3.0);
    store()->set("crosshairWeight", PropertyList(std::string("thick")));
    manualMainQueue().drain();
    EXPECT_EQ(pane.previewScale()->currentIndex(), -1);
    EXPECT_EQ(pane.lineWidth()->value(), 2); // the key's default
    EXPECT_EQ(store()->doubleForKey("scale"), 3.0);
    EXPECT_EQ(store()->stringForKey("crosshairWeight"), "thick");

    Defaults::Keys::crosshairWeight().set(5.0);
    manualMainQueue().drain();
    pane.displayCrosshair()->click();
    EXPECT_FALSE(Defaults::Keys::displayCrosshair().get());
    EXPECT_FALSE(pane.crosshairColor()->isEnabled());
    EXPECT_FALSE(pane.colorRow()->isEnabled());
    EXPECT_FALSE(pane.lineWidthRow()->isEnabled());
    EXPECT_EQ(Defaults::Keys::crosshairWeight().get(), 5.0);

    Defaults::Keys::displayCrosshair().set(true); // elsewhere
    manualMainQueue().drain();
    EXPECT_TRUE(pane.displayCrosshair()->isChecked());
    EXPECT_TRUE(pane.lineWidth()->isEnabled());
    EXPECT_EQ(pane.lineWidth()->value(), 5);
    EXPECT_TRUE(pane.crosshairNote()->isHidden());

    // A desktop that does not say where the pointer is: switch and rows off, the choice kept.
    test::FixtureEnvironment env(test::arrangementJson({test::displayJson(1, 0, "Main", 0, 0, 1920, 1080, true)}));
    const double unknown = std::numeric_limits<double>::quiet_NaN();
    env.displays().setMouseLocation({unknown, unknown});
    GeneralPreferences session;
    EXPECT_FALSE(session.crosshairNote()->isHidden());
    EXPECT_FALSE(session.displayCrosshair()->isEnabled());
    EXPECT_FALSE(session.lineWidthRow()->isEnabled());
    EXPECT_TRUE(session.displayCrosshair()->isChecked());
    EXPECT_TRUE(Defaults::Keys::displayCrosshair().get());

    // The shortcut row follows the session's shortcut path.
    const ShortcutPath before = shortcutPath();
    auto* rows = qobject_cast<QFormLayout*>(pane.shortcutNote()->parentWidget()->layout());
    ASSERT_TRUE(rows);
    setShortcutPath({ShortcutPath::Kind::Compositor, false, "Bind overlook popover --toggle in the compositor."});
    EXPECT_FALSE(rows->isRowVisible(pane.shortcutRecorder()));
    EXPECT_TRUE(rows->isRowVisible(pane.shortcutNote()));
    setShortcutPath({ShortcutPath::Kind::KeyGrab, true, ""});
    EXPECT_TRUE(rows->isRowVisible(pane.shortcutRecorder()));
    EXPECT_FALSE(rows->isRowVisible(pane.shortcutNote()));
    setShortcutPath(before);
}

TEST_F(Preferences, CommandShowsGeneralFirstInOneWindow) {
    // A store of its own: a late write to the standard suite races its exit-time flush.
    test::TempSettings folder;
    PreferencesCommand command(UserDefaults::open(folder.dir(), "command"));
    auto& window = command.windowController();
    ASSERT_GE(window.paneCount(), 1u);
    EXPECT_EQ(window.pane(0).identifier, Settings::PaneIdentifier{"general"});
    command.preferencesMenuItemActionHandler();
    EXPECT_EQ(window.activeTab(), 0u);
    EXPECT_TRUE(window.window()->isVisible());
    const auto windows = QApplication::topLevelWidgets().size();
    command.preferencesMenuItemActionHandler();
    EXPECT_EQ(QApplication::topLevelWidgets().size(), windows);
    EXPECT_TRUE(window.window()->isVisible());
}

TEST_F(Preferences, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    namespace fs = std::filesystem;
    const fs::path entry = LoginItem::entryPath();
    ASSERT_FALSE(entry.empty());
    fs::remove(entry);
    GeneralPreferences pane;
    EXPECT_FALSE(pane.startAtLogin()->isChecked());
    pane.startAtLogin()->click();
    ASSERT_TRUE(fs::exists(entry));
    std::ifstream in(entry);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[Desktop Entry]"), std::string::npos);
    EXPECT_NE(text.find("Exec=overlook"), std::string::npos);
    EXPECT_TRUE(LoginItem::isEnabled());
    EXPECT_TRUE(GeneralPreferences().startAtLogin()->isChecked()); // a new pane reads the file

    { std::ofstream(entry, std::ios::app) << "Hidden=true\n"; } // as another tool turns it off
    EXPECT_FALSE(LoginItem::isEnabled());
    pane.startAtLogin()->click();
    EXPECT_FALSE(fs::exists(entry));

    fs::create_directories(entry.parent_path());
    fs::permissions(entry.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    if (access(entry.parent_path().c_str(), W_OK) != 0) { // root writes anyway
        pane.startAtLogin()->click();
        EXPECT_FALSE(pane.startAtLogin()->isChecked());
    }
    fs::permissions(entry.parent_path(), fs::perms::owner_all);
    fs::remove(entry);
}

TEST_F(Preferences, TheDarkAppearanceReachesAPaneBuiltBeforeIt) {
    GeneralPreferences pane;
    pane.ensurePolished();
    pane.shortcutRecorder()->ensurePolished(); // as the application's start does
    applyDarkAppearance();
    QApplication::processEvents();
    const QImage field = pane.shortcutRecorder()->grab().toImage();
    const QColor inside = field.pixelColor(12, field.height() / 2);
    EXPECT_LT(inside.lightnessF(), 0.4) << inside.name().toStdString();
}
