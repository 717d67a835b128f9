#pragma once
// Global shortcuts through the desktop portal (org.freedesktop.portal.GlobalShortcuts),
// for Wayland sessions where no client may grab keys. The desktop decides which keys
// trigger a shortcut: we only offer the recorded combination as the preferred trigger,
// and report what the desktop made of it.
//
// The portal conversation runs on a thread of its own with its own bus connection;
// everything the service tells its users arrives on the main queue.

#include "KeyboardShortcuts/HotKeyService.h"

#include <memory>
#include <string>

namespace overlook::portal {

// What the desktop did with the shortcuts last offered to it.
struct ShortcutBinding {
    enum class State { Pending, Bound, Refused };
    State state = State::Pending;
    // Bound: the desktop's own words for the keys ("Ctrl+Alt+Meta+P"), possibly
    // empty when it left them to the user. Refused: why.
    std::string text;
};

class PortalHotKeyService final : public KeyboardShortcuts::HotKeyService {
public:
    // Connects to the session bus and checks that the portal offers global shortcuts;
    // nullptr and the reason when not.
    static std::unique_ptr<PortalHotKeyService> connect(std::string& why);
    ~PortalHotKeyService() override;

    // Every registration is offered to the desktop in one session, with `description`
    // as what users see in its settings. The reference only says the offer is made:
    // whether the desktop took it arrives through the binding handler.
    std::optional<Reference> registerHotKey(int keyCode, int carbonModifiers, KeyboardShortcuts::HotKeyId id) override;
    void unregisterHotKey(Reference reference) override;
    void installHandler(KeyboardShortcuts::HotKeyHandler handler) override;

    void setDescription(std::string description);
    // Main thread; called after every answer of the desktop.
    void setBindingHandler(std::function<void(const ShortcutBinding&)> handler);
    ShortcutBinding binding() const;

    struct Impl;

private:
    explicit PortalHotKeyService(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The portal's trigger notation for a key position and hot-key modifier
// bits ("CTRL+ALT+LOGO+p"), with the key's name on the US layout; empty for a key
// without a position.
std::string preferredTrigger(int keyCode, int carbonModifiers);

} // namespace overlook::portal
