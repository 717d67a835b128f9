#include "KeyboardShortcuts/KeyboardShortcuts.h"
#include "KeyboardShortcuts/RecorderCocoa/RecorderCocoa.h"
#include "Overlook/KeyMonitor.h"
#include "Platform/X11/HotKeys/X11HotKeyService.h"
#include "tests/keyboard_shortcuts/ProcessSettings.h"
#include "tests/x11/XvfbServer.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <cstdlib>
#include <xcb/xcb.h>
// xcb's XKB header names a member `explicit`.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

using namespace overlook;
using namespace overlook::KeyboardShortcuts;
using overlook::test::XvfbServer;

namespace {

// The application is torn down first, while its server is still there.
class XEnvironment : public testing::Environment {
public:
    void SetUp() override {
        test::processSettingsFolder();
        server = std::make_unique<XvfbServer>(640, 480);
        ASSERT_TRUE(server->running()) << "Xvfb did not start";
        setenv("DISPLAY", server->name().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "x11_keyboard_tests";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        app.reset();
        server.reset();
    }

    static inline std::unique_ptr<XvfbServer> server;
    static inline std::unique_ptr<QApplication> app;
};
[[maybe_unused]] testing::Environment* const kEnvironment = testing::AddGlobalTestEnvironment(new XEnvironment);

XvfbServer& server() { return *XEnvironment::server; }

void run(const std::string& command) { ASSERT_EQ(server().run(command), 0) << command; }
// Lets late events arrive before counts that must stay put are checked.
void settle() { QTest::qWait(300); }

// As a layout switcher does (xdotool puts the group back after its keys).
void lockGroup(int group) {
    xcb_connection_t* c = xcb_connect(server().name().c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    free(xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_xkb_latch_lock_state_checked(c, XCB_XKB_ID_USE_CORE_KBD, 0, 0, 1, static_cast<std::uint8_t>(group), 0,
                                            0, 0));
    EXPECT_EQ(error, nullptr);
    free(error);
    xcb_disconnect(c);
}

struct Window {
    QWidget widget;
    QLineEdit* field = new QLineEdit(&widget);
    Window() {
        (new QVBoxLayout(&widget))->addWidget(field);
        widget.show();
        widget.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&widget));
    }
};

class PressedKeys : public QObject {
public:
    explicit PressedKeys(QWidget* widget) { widget->installEventFilter(this); }
    std::vector<int> keys;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key != Qt::Key_Control && key != Qt::Key_Shift)
                keys.push_back(key);
        }
        return false;
    }
};

} // namespace

const Shortcut kControlOptionCommandP(35, 6400);

class X11HotKeys : public testing::Test {
protected:
    void SetUp() override {
        run("setxkbmap us");
        resetForTesting();
        ASSERT_TRUE(installX11HotKeyService(server().name().c_str()));
    }
    void TearDown() override {
        resetForTesting();
        if (numLockOn) // leave the lock keys off for the next test
            run("xdotool key Num_Lock");
    }
    bool numLockOn = false;
};

TEST_F(X11HotKeys, TheCombinationRunsKeyDownAndKeyUpOnceAlsoWithNumLockAndNotWhilePaused) {
    const Name name("x11Popover", kControlOptionCommandP);
    int downs = 0, ups = 0;
    onKeyDown(name, [&] { ++downs; });
    onKeyUp(name, [&] { ++ups; });
    run("xdotool key ctrl+alt+super+p");
    EXPECT_TRUE(QTest::qWaitFor([&] { return ups == 1; }, 2000));
    settle();
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(ups, 1);

    run("xdotool key Num_Lock");
    numLockOn = true;
    run("xdotool key ctrl+alt+super+p");
    EXPECT_TRUE(QTest::qWaitFor([&] { return ups == 2; }, 2000));
    EXPECT_EQ(downs, 2);
    run("xdotool key ctrl+super+p ctrl+alt+super+shift+p");
    setPaused(true);
    run("xdotool key ctrl+alt+super+p");
    settle();
    EXPECT_EQ(downs, 2);
    EXPECT_EQ(ups, 2);
    setPaused(false);

    setShortcut(std::nullopt, name);
    x11::X11HotKeyService other(server().name().c_str());
    EXPECT_TRUE(other.registerHotKey(35, 6400, {1, 1}).has_value());
}

TEST_F(X11HotKeys, AGrabHeldByAnotherClientIsRefusedAndReportedAsReserved) {
    xcb_connection_t* rival = xcb_connect(server().name().c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(rival));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(rival)).data->root;
    auto* service = static_cast<x11::X11HotKeyService*>(hotKeyService());
    ASSERT_EQ(service->xKeyCode(Key::p.rawValue), 33); // the keymap's P, not an assumption
    const auto mask = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
    ASSERT_EQ(xcb_request_check(rival, xcb_grab_key_checked(rival, 1, root, mask, 33, XCB_GRAB_MODE_ASYNC,
                                                            XCB_GRAB_MODE_ASYNC)),
              nullptr);
    EXPECT_FALSE(service->registerHotKey(35, 6400, {1, 1}).has_value());
    EXPECT_TRUE(isSystemReserved(kControlOptionCommandP));

    const Name name("x11Taken");
    setShortcut(kControlOptionCommandP, name);
    EXPECT_EQ(getShortcut(name), kControlOptionCommandP);
    int downs = 0;
    onKeyDown(name, [&] { ++downs; });
    run("xdotool key ctrl+alt+super+p");
    settle();
    EXPECT_EQ(downs, 0);
    xcb_disconnect(rival);
    // What was granted before the refusal went back: with Caps Lock is free for others.
    xcb_connection_t* next = xcb_connect(server().name().c_str(), nullptr);
    EXPECT_EQ(xcb_request_check(next, xcb_grab_key_checked(next, 1, root, mask | XCB_MOD_MASK_LOCK, 33,
                                                            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)),
              nullptr);
    xcb_disconnect(next);

    const Name mine("x11Mine", Shortcut(Key::f5, ModifierFlags::Control)); // our own grab is no one else's
    EXPECT_FALSE(isSystemReserved(Shortcut(Key::f5, ModifierFlags::Control)));
    EXPECT_EQ(characterForKeyCode(Key::p.rawValue), "p");
    EXPECT_EQ(characterForKeyCode(Key::returnKey.rawValue), std::nullopt);
}

TEST(X11KeyMonitor, ControlDigitsAreConsumedSilentlyWhateverTextQtGivesThem) {
    run("setxkbmap us");
    Window window;
    window.field->setFocus();
    PressedKeys reached(window.field);
    installKeyMonitor();

    testing::internal::CaptureStdout();
    run("xdotool key 4 ctrl+1 ctrl+2 ctrl+3 ctrl+4 ctrl+5 ctrl+6 ctrl+7 ctrl+8 ctrl+9 ctrl+0 shift+1 a 9");
    const bool arrived = QTest::qWaitFor([&] { return window.field->text().endsWith(QLatin1Char('a')); }, 3000);
    QTest::qWait(200); // the last digit, which must not reach the field
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(arrived) << "the keys never reached the window";
    EXPECT_EQ(out, "Toggling display with id 4\nToggling display with id 9\n");
    EXPECT_EQ(reached.keys, (std::vector<int>{Qt::Key_Exclam, Qt::Key_A}));
}

class X11Recorder : public testing::Test {
protected:
    void SetUp() override {
        run("setxkbmap de");
        resetForTesting();
        ASSERT_TRUE(installX11HotKeyService(server().name().c_str()));
        static int counter = 0;
        name = std::make_unique<Name>("x11Recorded" + std::to_string(++counter));
        recorder = new RecorderCocoa(*name);
        window.widget.layout()->addWidget(recorder);
        recorder->show();
    }
    void TearDown() override {
        resetForTesting();
        run("setxkbmap us");
    }

    void record(const std::string& keys) {
        recorder->setFocus(Qt::MouseFocusReason);
        ASSERT_TRUE(recorder->isRecording());
        const auto before = getShortcut(*name);
        run("xdotool key " + keys);
        ASSERT_TRUE(QTest::qWaitFor([&] { return getShortcut(*name) != before; }, 3000)) << keys;
    }
    bool showsAfterLayoutChange(const std::string& command, const QString& text) {
        run(command);
        return QTest::qWaitFor([&] { return recorder->text() == text; }, 3000);
    }

    Window window;
    std::unique_ptr<Name> name;
    RecorderCocoa* recorder = nullptr;
};

TEST_F(X11Recorder, OnAGermanLayoutTheIsoKeyIsStoredAsItselfAndTextsFollowTheLayoutAndGroup) {
    record("ctrl+less");
    EXPECT_EQ(getShortcut(*name), Shortcut(Key::isoSection, ModifierFlags::Control));
    EXPECT_EQ(recorder->text(), QStringLiteral("Ctrl+<"));
    EXPECT_TRUE(showsAfterLayoutChange("setxkbmap gb", QStringLiteral("Ctrl+\\"))) << recorder->text().toStdString();

    run("setxkbmap de");
    record("ctrl+z");
    EXPECT_EQ(getShortcut(*name), Shortcut(Key::y, ModifierFlags::Control));
    EXPECT_EQ(recorder->text(), QStringLiteral("Ctrl+Z"));
    EXPECT_TRUE(showsAfterLayoutChange("setxkbmap us", QStringLiteral("Ctrl+Y"))) << recorder->text().toStdString();

    SCOPED_TRACE("texts come from the active group, or else an ASCII-capable one");
    const auto showsAfterGroup = [&](int group, const QString& text) {
        lockGroup(group);
        return QTest::qWaitFor([&] { return recorder->text() == text; }, 3000);
    };
    EXPECT_TRUE(showsAfterLayoutChange("setxkbmap -layout us,de", QStringLiteral("Ctrl+Y")));
    EXPECT_TRUE(showsAfterGroup(1, QStringLiteral("Ctrl+Z"))) << recorder->text().toStdString();
    EXPECT_TRUE(showsAfterGroup(0, QStringLiteral("Ctrl+Y"))) << recorder->text().toStdString();
    // Russian types no Latin letters: the German group names the key meanwhile.
    EXPECT_TRUE(showsAfterLayoutChange("setxkbmap -layout ru,de", QStringLiteral("Ctrl+Z")))
        << recorder->text().toStdString();
}
