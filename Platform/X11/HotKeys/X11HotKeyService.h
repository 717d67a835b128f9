#pragma once
// Global hot keys on X11: passive key grabs on the root window of a connection of
// our own, one for the combination and one each for its Num Lock and Caps Lock
// variants, so a lock key does not get in the way. A grab the server refuses
// (BadAccess: another client holds it) is reported as a refused registration.
//
// Main thread only. Events are read from the connection's socket: by a Qt socket
// notifier after attachToQtEventLoop(), or by calling processPendingEvents().

#include "KeyboardShortcuts/HotKeyService.h"

#include <memory>
#include <string>

class QSocketNotifier;

namespace overlook::x11 {

class X11HotKeyService final : public KeyboardShortcuts::HotKeyService {
public:
    // Connects to `displayName` (nullptr: $DISPLAY); check ok().
    explicit X11HotKeyService(const char* displayName = nullptr);
    ~X11HotKeyService() override;
    X11HotKeyService(const X11HotKeyService&) = delete;
    X11HotKeyService& operator=(const X11HotKeyService&) = delete;

    bool ok() const;
    const std::string& error() const;

    std::optional<Reference> registerHotKey(int keyCode, int carbonModifiers, KeyboardShortcuts::HotKeyId id) override;
    void unregisterHotKey(Reference reference) override;
    void installHandler(KeyboardShortcuts::HotKeyHandler handler) override;
    bool isTakenElsewhere(int keyCode, int carbonModifiers) override;
    std::optional<std::string> characterForKeyCode(int keyCode) override;

    // The X key code of a virtual key code on the server's keymap (0 when the key
    // does not exist there).
    int xKeyCode(int keyCode) const;

    // Reads the socket with a Qt notifier; needs a Qt application.
    void attachToQtEventLoop();
    // Handles every event that has arrived.
    void processPendingEvents();
    int fileDescriptor() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace overlook::x11

namespace overlook::KeyboardShortcuts {

// Makes the X11 hot-key service the one global shortcuts use, driven by the running
// Qt application's event loop. Returns false (after logging why) when there is no X
// server to talk to; shortcuts then stay stored but do not fire.
bool installX11HotKeyService(const char* displayName = nullptr);

} // namespace overlook::KeyboardShortcuts
