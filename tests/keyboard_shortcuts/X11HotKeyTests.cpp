// Real key grabs on a private Xvfb, pressed with xdotool through XTEST.
#include "KeyboardShortcuts/KeyboardShortcuts.h"
#include "Platform/X11/HotKeys/X11HotKeyService.h"
#include "tests/keyboard_shortcuts/ProcessSettings.h"
#include "tests/x11/XvfbServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

using namespace overlook;
using namespace overlook::KeyboardShortcuts;
using overlook::test::XvfbServer;

namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "x11_hotkey_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

const Shortcut kControlOptionCommandP(35, 6400);

class X11HotKeys : public testing::Test {
protected:
    static void SetUpTestSuite() {
        test::processSettingsFolder();
        application();
        server = std::make_unique<XvfbServer>(640, 480);
        ASSERT_TRUE(server->running()) << "Xvfb did not start";
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        resetForTesting();
        ASSERT_TRUE(installX11HotKeyService(server->name().c_str()));
    }
    void TearDown() override {
        resetForTesting();
        // Leave the lock keys off for the next test.
        if (numLockOn_)
            press("Num_Lock");
    }

    static void press(const std::string& keys) { ASSERT_EQ(server->run("xdotool key " + keys), 0) << keys; }
    void toggleNumLock() {
        press("Num_Lock");
        numLockOn_ = !numLockOn_;
    }
    // Runs the event loop until `done` or `limitMs` have passed.
    template <class Done>
    static bool waitFor(Done done, int limitMs = 2000) {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < limitMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
    }
    // Gives late events a chance to arrive, so counts that must stay put are checked
    // after the fact.
    static void settle() { waitFor([] { return false; }, 300); }

    static std::unique_ptr<XvfbServer> server;
    bool numLockOn_ = false;
};
std::unique_ptr<XvfbServer> X11HotKeys::server;

} // namespace

TEST_F(X11HotKeys, TheCombinationRunsKeyDownAndKeyUpOnceAlsoWithNumLockAndNotWhilePaused) {
    static int counter = 0;
    const Name name("x11Popover" + std::to_string(++counter), kControlOptionCommandP);
    int downs = 0, ups = 0;
    onKeyDown(name, [&] { ++downs; });
    onKeyUp(name, [&] { ++ups; });

    press("ctrl+alt+super+p");
    EXPECT_TRUE(waitFor([&] { return ups == 1; }));
    settle();
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(ups, 1);

    toggleNumLock();
    press("ctrl+alt+super+p");
    EXPECT_TRUE(waitFor([&] { return ups == 2; }));
    EXPECT_EQ(downs, 2);

    // Other combinations of the same key do not reach us.
    press("ctrl+super+p");
    press("ctrl+alt+super+shift+p");
    settle();
    EXPECT_EQ(downs, 2);

    setPaused(true);
    press("ctrl+alt+super+p");
    settle();
    EXPECT_EQ(downs, 2);
    EXPECT_EQ(ups, 2);
    setPaused(false);

    // Cleared: the grab is given back, so another client may take it.
    setShortcut(std::nullopt, name);
    x11::X11HotKeyService other(server->name().c_str());
    EXPECT_TRUE(other.registerHotKey(35, 6400, {1, 1}).has_value());
}

TEST_F(X11HotKeys, AGrabHeldByAnotherClientIsRefusedAndReportedAsReserved) {
    // Another client takes Control-Option-Command-P, as a desktop would.
    xcb_connection_t* rival = xcb_connect(server->name().c_str(), nullptr);
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
    EXPECT_FALSE(isSystemReserved(Shortcut(35, 4096 | 2048)));

    // Refused but stored: the name keeps its shortcut, and the key is not ours.
    static int counter = 0;
    const Name name("x11Taken" + std::to_string(++counter));
    setShortcut(kControlOptionCommandP, name);
    EXPECT_EQ(getShortcut(name), kControlOptionCommandP);
    int downs = 0;
    onKeyDown(name, [&] { ++downs; });
    press("ctrl+alt+super+p");
    settle();
    EXPECT_EQ(downs, 0);
    xcb_disconnect(rival);

    // A shortcut we hold ourselves is not reported as taken.
    const Name mine("x11Mine" + std::to_string(counter), Shortcut(Key::f5, ModifierFlags::Control));
    EXPECT_FALSE(isSystemReserved(Shortcut(Key::f5, ModifierFlags::Control)));
    EXPECT_EQ(characterForKeyCode(Key::p.rawValue), "p");
    EXPECT_EQ(characterForKeyCode(Key::returnKey.rawValue), std::nullopt);
}
