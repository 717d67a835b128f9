#pragma once
// Named global keyboard shortcuts: each name's shortcut lives in the standard
// settings store under "KeyboardShortcuts_<name>" (the shortcut's JSON text, or false
// once the user cleared it), is registered with the hot-key service, and runs the
// name's actions when pressed or released anywhere on the desktop.
//
// Main thread only. Until a hot-key service is installed shortcuts are stored and
// remembered as registered, and go to the service as soon as one is installed.

#include "KeyboardShortcuts/HotKeyService.h"
#include "KeyboardShortcuts/NotificationCenter.h"
#include "KeyboardShortcuts/Shortcut.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace overlook::KeyboardShortcuts {

struct Name {
    std::string rawValue;
    std::optional<Shortcut> defaultShortcut;

    // Stores the default when the store has no entry at all for the name; a stored
    // false (cleared by the user) is kept.
    explicit Name(std::string rawValue, std::optional<Shortcut> defaultShortcut = std::nullopt);

    bool operator==(const Name& other) const { return rawValue == other.rawValue; }

    // The application's shortcut that opens and closes the popover:
    // Control-Option-Command-P unless the user changed it. Created on first use.
    static const Name& showPopover();
};

// "KeyboardShortcuts_" + name.
std::string storageKey(const Name& name);

// Posted after every stored change, with userInfo {"name": Name}.
inline constexpr const char* kShortcutByNameDidChange = "KeyboardShortcuts_shortcutByNameDidChange";

// Posted when the keyboard layout or its active group changes, so shortcut texts
// can be shown anew. No userInfo.
inline constexpr const char* kKeyboardLayoutDidChange = "KeyboardShortcuts_keyboardLayoutDidChange";

// The stored shortcut; nothing for no entry, false, or an entry that is no shortcut
// (which is logged, once per entry).
std::optional<Shortcut> getShortcut(const Name& name);
// Stores (and registers) the shortcut, or clears the name's shortcut with nothing.
void setShortcut(const std::optional<Shortcut>& shortcut, const Name& name);

// Actions run in the order they were added, each time the name's current shortcut is
// pressed (released), unless shortcuts are paused.
void onKeyDown(const Name& name, std::function<void()> action);
void onKeyUp(const Name& name, std::function<void()> action);

// While paused no action runs (the recorder pauses while it records).
bool isPaused();
void setPaused(bool paused);

// Installs the system's hot-key service (nullptr: none). Everything registered so far
// moves to the new service.
void setHotKeyService(std::unique_ptr<HotKeyService> service);
HotKeyService* hotKeyService();

// The desktop's own enabled bindings as far as the service can read them.
std::vector<Shortcut> systemReservedShortcuts();
// Whether the desktop or another client uses the combination: one of the bindings
// above, or a trial grab of it is refused.
bool isSystemReserved(const Shortcut& shortcut);

// What the current ASCII-capable keyboard layout prints for the key without
// modifiers: the service's answer, else the US character of the key's position,
// else nothing.
std::optional<std::string> characterForKeyCode(int keyCode);

// Forgets actions, registrations and the pause, and drops the service; for tests.
void resetForTesting();

} // namespace overlook::KeyboardShortcuts
