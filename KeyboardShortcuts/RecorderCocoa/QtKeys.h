#pragma once
// Between Qt's key events and the virtual key codes of stored shortcuts, and the
// text a shortcut is shown with.

#include "KeyboardShortcuts/Shortcut.h"

#include <QKeyCombination>
#include <QString>

#include <optional>

class QKeyEvent;

namespace overlook::KeyboardShortcuts {

// The key's code: by its position when the platform reports one (X key codes;
// nothing for a key without a code), else by the key Qt names, read on a US layout.
std::optional<int> keyCodeOfEvent(const QKeyEvent& event);
// Control, Alt, Super (Meta in Qt), Shift and keypad as toolkit flags.
ModifierFlags modifierFlagsOfEvent(const QKeyEvent& event);

// As Linux desktops write shortcuts: "Ctrl+", "Alt+", "Shift+" and "Super+" (Meta on
// KDE) as they apply, then the key: its name ("Space", "Page Up", "F5"), else what
// the current layout prints for it upper-cased, else U+FFFD. The stored form does
// not change. Example: "Ctrl+Alt+Super+P".
QString shortcutText(const Shortcut& shortcut);
// "Meta" on KDE Plasma, else "Super" (from XDG_CURRENT_DESKTOP).
QString superKeyName();

// The shortcut as Qt writes key sequences: the key as the layout prints it unshifted
// (Qt names letters by their capital), and the modifiers. Nothing when the key has
// no Qt name.
std::optional<QKeyCombination> keyCombination(const Shortcut& shortcut);

} // namespace overlook::KeyboardShortcuts
