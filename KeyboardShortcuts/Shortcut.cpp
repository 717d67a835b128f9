#include "KeyboardShortcuts/Shortcut.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace overlook::KeyboardShortcuts {

namespace {
struct Pair {
    ModifierFlags flag;
    int bit;
};
constexpr Pair kPairs[] = {
    {ModifierFlags::Command, carbon::kCommand},
    {ModifierFlags::Shift, carbon::kShift},
    {ModifierFlags::Option, carbon::kOption},
    {ModifierFlags::Control, carbon::kControl},
};
} // namespace

int carbonModifiers(ModifierFlags flags) {
    int bits = 0;
    for (const auto& pair : kPairs)
        if (contains(flags, pair.flag))
            bits |= pair.bit;
    return bits;
}

ModifierFlags modifierFlags(int carbonBits) {
    ModifierFlags flags = ModifierFlags::None;
    for (const auto& pair : kPairs)
        if (carbonBits & pair.bit)
            flags = flags | pair.flag;
    return flags;
}

int normalizedCarbonModifiers(int carbonBits) { return carbonModifiers(modifierFlags(carbonBits)); }

std::string Shortcut::toJson() const {
    return nlohmann::json{{"carbonKeyCode", carbonKeyCode}, {"carbonModifiers", carbonModifiers}}.dump();
}

std::optional<Shortcut> Shortcut::fromJson(const std::string& text) {
    const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object())
        return std::nullopt;
    const auto member = [&](const char* name) -> std::optional<int> {
        const auto it = json.find(name);
        if (it == json.end() || !it->is_number_integer())
            return std::nullopt;
        // Unsigned and signed 64-bit members both arrive here; only what fits an int counts.
        if (it->is_number_unsigned()) {
            const auto v = it->get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
                return std::nullopt;
            return static_cast<int>(v);
        }
        const auto v = it->get<std::int64_t>();
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
            return std::nullopt;
        return static_cast<int>(v);
    };
    const auto keyCode = member("carbonKeyCode");
    const auto modifiers = member("carbonModifiers");
    if (!keyCode || !modifiers)
        return std::nullopt;
    return Shortcut(*keyCode, *modifiers);
}

std::optional<Shortcut> shortcutFromKeyEvent(int keyCode, std::uint64_t modifierFlagWord) {
    const auto flags = static_cast<ModifierFlags>(modifierFlagWord) & ModifierFlags::DeviceIndependentMask;
    return Shortcut(Key(keyCode), flags);
}

} // namespace overlook::KeyboardShortcuts
