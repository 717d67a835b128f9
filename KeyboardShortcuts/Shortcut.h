#pragma once
// A keyboard shortcut as it is stored: a virtual key code and the hot-key modifier
// bits. The bit values are part of the stored form and never change.

#include "KeyboardShortcuts/Key.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace overlook::KeyboardShortcuts {

// The toolkit's modifier flags. On Linux the command modifier is Super, option is
// Alt. The other device-independent flags are listed because key events carry them
// and conversions must drop them.
enum class ModifierFlags : std::uint64_t {
    None = 0,
    CapsLock = 0x10000,
    Shift = 0x20000,
    Control = 0x40000,
    Option = 0x80000,
    Command = 0x100000,
    NumericPad = 0x200000,
    Help = 0x400000,
    Function = 0x800000,
    // The device-independent part of a flag word.
    DeviceIndependentMask = 0xffff0000,
};
constexpr ModifierFlags operator|(ModifierFlags a, ModifierFlags b) {
    return static_cast<ModifierFlags>(static_cast<std::uint64_t>(a) | static_cast<std::uint64_t>(b));
}
constexpr ModifierFlags operator&(ModifierFlags a, ModifierFlags b) {
    return static_cast<ModifierFlags>(static_cast<std::uint64_t>(a) & static_cast<std::uint64_t>(b));
}
constexpr ModifierFlags operator~(ModifierFlags a) { return static_cast<ModifierFlags>(~static_cast<std::uint64_t>(a)); }
constexpr bool contains(ModifierFlags set, ModifierFlags flag) { return (set & flag) == flag && flag != ModifierFlags::None; }

// The hot-key modifier bits.
namespace carbon {
inline constexpr int kCommand = 0x100;
inline constexpr int kShift = 0x200;
inline constexpr int kOption = 0x800;
inline constexpr int kControl = 0x1000;
} // namespace carbon

// Only command, shift, option and control survive either way.
int carbonModifiers(ModifierFlags flags);
ModifierFlags modifierFlags(int carbonModifiers);
// Keeps the four known bits of a carbon word.
int normalizedCarbonModifiers(int carbonModifiers);

struct Shortcut {
    int carbonKeyCode = 0;
    int carbonModifiers = 0;

    Shortcut() = default;
    Shortcut(int keyCode, int carbonBits) : carbonKeyCode(keyCode), carbonModifiers(carbonBits) {}
    Shortcut(Key key, ModifierFlags modifiers = ModifierFlags::None)
        : carbonKeyCode(key.rawValue), carbonModifiers(KeyboardShortcuts::carbonModifiers(modifiers)) {}

    Key key() const { return Key(carbonKeyCode); }
    ModifierFlags modifiers() const { return modifierFlags(carbonModifiers); }

    bool operator==(const Shortcut&) const = default;

    // {"carbonKeyCode":35,"carbonModifiers":6400}
    std::string toJson() const;
    // Nothing unless `text` is a JSON object with both members as integers that fit.
    static std::optional<Shortcut> fromJson(const std::string& text);
};

// The shortcut of a key event: its key code and the device-independent part of its
// flags. Every key code forms a shortcut here; the recorder decides what it accepts.
std::optional<Shortcut> shortcutFromKeyEvent(int keyCode, std::uint64_t modifierFlagWord);

} // namespace overlook::KeyboardShortcuts

template <>
struct std::hash<overlook::KeyboardShortcuts::Shortcut> {
    std::size_t operator()(const overlook::KeyboardShortcuts::Shortcut& s) const noexcept {
        return std::hash<long long>()((static_cast<long long>(s.carbonKeyCode) << 32) ^ s.carbonModifiers);
    }
};
