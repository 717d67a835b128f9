#include "KeyboardShortcuts/RecorderCocoa/QtKeys.h"
#include "KeyboardShortcuts/RecorderCocoa/RecorderCocoa.h"
#include "settings_store/UserDefaults.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/keyboard_shortcuts/ProcessSettings.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::KeyboardShortcuts;

namespace {

void ensureApplication() {
    test::processSettingsFolder();
    ensureOffscreenApplication();
}

class Recorder : public testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        resetForTesting();
        auto service = std::make_unique<InProcessHotKeyService>();
        system = service.get();
        setHotKeyService(std::move(service));
        static int counter = 0;
        name = std::make_unique<Name>("recorded" + std::to_string(++counter));

        window = std::make_unique<QMainWindow>();
        auto* central = new QWidget;
        auto* layout = new QVBoxLayout(central);
        recorder = new RecorderCocoa(*name, [this](const std::optional<Shortcut>& s) { changes.push_back(s); });
        layout->addWidget(recorder);
        window->setCentralWidget(central);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
    }
    void TearDown() override {
        window.reset();
        resetForTesting();
    }

    void startRecording() {
        recorder->setFocus(Qt::MouseFocusReason);
        ASSERT_TRUE(recorder->hasFocus());
        ASSERT_TRUE(recorder->isRecording());
    }

    InProcessHotKeyService* system = nullptr;
    std::unique_ptr<Name> name;
    std::unique_ptr<QMainWindow> window;
    RecorderCocoa* recorder = nullptr;
    std::vector<std::optional<Shortcut>> changes;
};

} // namespace

TEST(QtKeys, KeysQtNamesByFunctionGetTheCodesOfTheKeysOfThatName) {
    // Events without a key position (as some platforms send them) go by Qt's name, also where it differs.
    const std::pair<Qt::Key, Key> named[] = {
        {Qt::Key_Return, Key::returnKey}, {Qt::Key_Backtab, Key::tab}, {Qt::Key_Backspace, Key::deleteKey},
        {Qt::Key_Delete, Key::deleteForward}, {Qt::Key_Insert, Key::help}, {Qt::Key_PageDown, Key::pageDown},
        {Qt::Key_VolumeMute, Key::mute}, {Qt::Key_Enter, Key::keypadEnter}, {Qt::Key_NumLock, Key::keypadClear},
        {Qt::Key_Meta, Key::command}, {Qt::Key_Super_R, Key::rightCommand}, {Qt::Key_Alt, Key::option},
        {Qt::Key_F1, Key::f1}, {Qt::Key_F12, Key::f12}, {Qt::Key_F13, Key::f13}, {Qt::Key_F20, Key::f20}};
    for (const auto& [qt, key] : named)
        EXPECT_EQ(keyCodeOfEvent(QKeyEvent(QEvent::KeyPress, qt, Qt::NoModifier)), key.rawValue) << qt;
    // Characters: the key that types them unshifted; the keypad's own only with its modifier.
    const std::tuple<int, Qt::KeyboardModifiers, std::optional<int>> characters[] = {
        {'A', Qt::NoModifier, Key::a.rawValue}, {'!', Qt::ShiftModifier, Key::one.rawValue},
        {'5', Qt::KeypadModifier, Key::keypad5.rawValue}, {0xA3 /* £ */, Qt::NoModifier, std::nullopt}};
    for (const auto& [qt, modifiers, code] : characters)
        EXPECT_EQ(keyCodeOfEvent(QKeyEvent(QEvent::KeyPress, qt, modifiers)), code) << qt << " " << modifiers;
}

TEST(ShortcutText, ModifiersInTheDesktopsWordsAndOrderThenTheKeysName) {
    ensureApplication();
    resetForTesting();
    EXPECT_EQ(shortcutText(Shortcut(Key::leftArrow.rawValue, 0x1000 | 0x800 | 0x200 | 0x100)),
              QStringLiteral("Ctrl+Alt+Shift+Super+Left"));
    // KDE calls the logo key Meta.
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
    qputenv("XDG_CURRENT_DESKTOP", "KDE");
    EXPECT_EQ(shortcutText(Shortcut(35, 6400)), QStringLiteral("Ctrl+Alt+Meta+P"));
    qputenv("XDG_CURRENT_DESKTOP", desktop);
}

TEST_F(Recorder, ShiftAndALetterBeepsAndStoresNothingButAFunctionKeyAloneIsStored) {
    startRecording();
    EXPECT_TRUE(isPaused());
    QSignalSpy beeps(recorder, &RecorderCocoa::beeped);

    QTest::keyClick(recorder, Qt::Key_A, Qt::ShiftModifier);
    QTest::keyClick(recorder, Qt::Key_A);
    EXPECT_EQ(beeps.count(), 2);
    EXPECT_EQ(getShortcut(*name), std::nullopt);
    EXPECT_TRUE(recorder->isRecording());
    QTest::keyPress(recorder, Qt::Key_Shift, Qt::ShiftModifier);
    EXPECT_EQ(beeps.count(), 2);

    QTest::keyClick(recorder, Qt::Key_F5);
    EXPECT_EQ(getShortcut(*name), Shortcut(Key::f5, ModifierFlags::None));
    EXPECT_EQ(recorder->text(), QStringLiteral("F5"));
    EXPECT_EQ(changes, (std::vector<std::optional<Shortcut>>{Shortcut(Key::f5, ModifierFlags::None)}));
    EXPECT_FALSE(recorder->hasFocus());
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_FALSE(isPaused());

    startRecording();
    QTest::keyClick(recorder, Qt::Key_P, Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    EXPECT_EQ(getShortcut(*name), Shortcut(35, 6400));

    SCOPED_TRACE("changes made elsewhere show at once; clearing stores false and keeps recording");
    setShortcut(Shortcut(Key::b, ModifierFlags::Control), *name);
    EXPECT_EQ(recorder->text(), QStringLiteral("Ctrl+B"));
    setShortcut(Shortcut(35, 6400), Name("someoneElse"));
    EXPECT_EQ(recorder->text(), QStringLiteral("Ctrl+B"));

    startRecording();
    QTest::keyClick(recorder, Qt::Key_Backspace);
    EXPECT_EQ(UserDefaults::standard()->object(storageKey(*name)), PropertyList(false));
    EXPECT_EQ(recorder->text(), QString());
    EXPECT_TRUE(recorder->isRecording());
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back(), std::nullopt);

    QTest::keyClick(recorder, Qt::Key_Escape);
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_FALSE(isPaused()) << "hot keys stay off after the recording";
    EXPECT_EQ(getShortcut(*name), std::nullopt);
}

TEST_F(Recorder, CombinationsInUseAreRefusedWithAnAlertExceptBareF12) {
    // The tray menu is the application's only menu, in no menu bar.
    QMenu trayMenu;
    QMenu* sub = trayMenu.addMenu(QStringLiteral("Export"));
    sub->addAction(QStringLiteral("&Save Picture"))->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_S));
    system->heldElsewhere.push_back({Key::f12.rawValue, 0});
    system->heldElsewhere.push_back({Key::t.rawValue, carbon::kControl | carbon::kOption});

    QStringList alerts;
    const auto answerAlerts = [&] {
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                alerts << box->text() + QLatin1Char('|') + box->informativeText();
                box->accept();
            }
        });
    };
    struct PassedOn : QObject { // key presses the recording let through to the field
        int presses = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            presses += event->type() == QEvent::KeyPress;
            return false;
        }
    } passedOn;
    recorder->installEventFilter(&passedOn);
    startRecording();
    answerAlerts();
    QTest::keyClick(recorder, Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_TRUE(alerts[0].contains(QStringLiteral("Save Picture"))) << alerts[0].toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorder->isRecording(); }, 2000)) << "recording resumes after the alert";

    answerAlerts();
    QTest::keyClick(recorder, Qt::Key_T, Qt::ControlModifier | Qt::AltModifier);
    ASSERT_EQ(alerts.size(), 2);
    EXPECT_EQ(alerts[1], localizedString("keyboard_shortcut_used_by_system") + QLatin1Char('|') +
                             localizedString("keyboard_shortcuts_can_be_changed"));
    EXPECT_EQ(getShortcut(*name), std::nullopt);
    EXPECT_TRUE(changes.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder->isRecording(); }, 2000));

    QTest::keyClick(recorder, Qt::Key_F12);
    EXPECT_EQ(alerts.size(), 2);
    EXPECT_EQ(getShortcut(*name), Shortcut(Key::f12, ModifierFlags::None));
    EXPECT_EQ(passedOn.presses, 0) << "a refused combination went on to the field as a key press";
}
