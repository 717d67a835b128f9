#include "KeyboardShortcuts/RecorderCocoa/QtKeys.h"

#include "KeyboardShortcuts/KeyboardShortcuts.h"

#include <QGuiApplication>
#include <QKeyEvent>

#include <array>

namespace overlook::KeyboardShortcuts {

namespace {

struct Special {
    int keyCode;
    Qt::Key qtKey;
};
// Keys Qt names by function rather than by character.
constexpr std::array<Special, 49> kSpecials{{
    {36, Qt::Key_Return},   {48, Qt::Key_Tab},       {48, Qt::Key_Backtab},   {49, Qt::Key_Space},
    {51, Qt::Key_Backspace}, {117, Qt::Key_Delete},  {53, Qt::Key_Escape},    {114, Qt::Key_Insert},
    {114, Qt::Key_Help},    {126, Qt::Key_Up},       {125, Qt::Key_Down},     {123, Qt::Key_Left},
    {124, Qt::Key_Right},   {115, Qt::Key_Home},     {119, Qt::Key_End},      {116, Qt::Key_PageUp},
    {121, Qt::Key_PageDown}, {74, Qt::Key_VolumeMute}, {72, Qt::Key_VolumeUp}, {73, Qt::Key_VolumeDown},
    {76, Qt::Key_Enter},    {71, Qt::Key_NumLock},   {55, Qt::Key_Meta},      {56, Qt::Key_Shift},
    {58, Qt::Key_Alt},      {59, Qt::Key_Control},   {57, Qt::Key_CapsLock},  {55, Qt::Key_Super_L},
    {54, Qt::Key_Super_R},  {122, Qt::Key_F1},       {120, Qt::Key_F2},       {99, Qt::Key_F3},
    {118, Qt::Key_F4},      {96, Qt::Key_F5},        {97, Qt::Key_F6},        {98, Qt::Key_F7},
    {100, Qt::Key_F8},      {101, Qt::Key_F9},       {109, Qt::Key_F10},      {103, Qt::Key_F11},
    {111, Qt::Key_F12}, {105, Qt::Key_F13}, {107, Qt::Key_F14}, {113, Qt::Key_F15}, {106, Qt::Key_F16},
    {64, Qt::Key_F17},  {79, Qt::Key_F18},  {80, Qt::Key_F19},  {90, Qt::Key_F20},
}};

// What shift makes of the unshifted characters on a US layout.
constexpr std::string_view kShifted = "~!@#$%^&*()_+{}|:\"<>?";
constexpr std::string_view kUnshifted = "`1234567890-=[]\\;',./";

// The symbols that name keys in shortcut texts.
// Keys written by name, as Linux desktops write them.
const std::array<std::pair<int, const char*>, 15> kKeyNames{{
    {36, "Return"}, {51, "Backspace"}, {117, "Delete"}, {119, "End"}, {53, "Escape"}, {114, "Insert"},
    {115, "Home"}, {49, "Space"}, {48, "Tab"}, {116, "Page Up"}, {121, "Page Down"}, {126, "Up"},
    {124, "Right"}, {125, "Down"}, {123, "Left"},
}};

std::optional<int> keyCodeOfQtKey(int qtKey, bool keypad) {
    for (const auto& special : kSpecials)
        if (special.qtKey == qtKey)
            return special.keyCode;
    if (qtKey <= 0 || qtKey > 0x7e)
        return std::nullopt;
    char c = static_cast<char>(QChar(qtKey).toLower().unicode());
    if (const auto shifted = kShifted.find(c); shifted != std::string_view::npos)
        c = kUnshifted[shifted];
    std::size_t count = 0;
    const KeyPosition* positions = allKeyPositions(&count);
    std::optional<int> found;
    for (std::size_t i = 0; i < count; ++i) {
        const auto& p = positions[i];
        if (p.usCharacter.size() == 1 && p.usCharacter[0] == c) {
            const bool onKeypad = p.xkbName.starts_with("KP");
            if (onKeypad == keypad)
                return p.keyCode;
            found = p.keyCode; // the other block's key of the same character
        }
    }
    return found;
}

} // namespace

std::optional<int> keyCodeOfEvent(const QKeyEvent& event) {
    // On X11 the native scan code is the X key code: evdev code + 8. The key pressed
    // is then known, and a key without a code of its own is refused rather than
    // guessed from its character, which on other layouts names a different key.
    if (event.nativeScanCode() > 8 && QGuiApplication::platformName() == QLatin1String("xcb")) {
        const auto position = positionOfEvdevCode(static_cast<int>(event.nativeScanCode()) - 8);
        return position ? std::optional(position->keyCode) : std::nullopt;
    }
    return keyCodeOfQtKey(event.key(), event.modifiers().testFlag(Qt::KeypadModifier));
}

ModifierFlags modifierFlagsOfEvent(const QKeyEvent& event) {
    const auto mods = event.modifiers();
    ModifierFlags flags = ModifierFlags::None;
    if (mods & Qt::ControlModifier)
        flags = flags | ModifierFlags::Control;
    if (mods & Qt::AltModifier)
        flags = flags | ModifierFlags::Option;
    if (mods & Qt::ShiftModifier)
        flags = flags | ModifierFlags::Shift;
    if (mods & Qt::MetaModifier)
        flags = flags | ModifierFlags::Command;
    if (mods & Qt::KeypadModifier)
        flags = flags | ModifierFlags::NumericPad;
    return flags;
}

QString superKeyName() {
    // KDE calls the logo key Meta; GNOME and most other desktops call it Super.
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
    return desktop.contains("KDE") ? QStringLiteral("Meta") : QStringLiteral("Super");
}

QString shortcutText(const Shortcut& shortcut) {
    // Modifiers in the desktops' order and words, each followed by "+", then the key.
    const auto flags = shortcut.modifiers();
    QString text;
    if (contains(flags, ModifierFlags::Control))
        text += QStringLiteral("Ctrl+");
    if (contains(flags, ModifierFlags::Option))
        text += QStringLiteral("Alt+");
    if (contains(flags, ModifierFlags::Shift))
        text += QStringLiteral("Shift+");
    if (contains(flags, ModifierFlags::Command))
        text += superKeyName() + QStringLiteral("+");
    for (const auto& [code, name] : kKeyNames)
        if (code == shortcut.carbonKeyCode)
            return text + QString::fromUtf8(name);
    for (const auto& special : kSpecials)
        if (special.keyCode == shortcut.carbonKeyCode && special.qtKey >= Qt::Key_F1 && special.qtKey <= Qt::Key_F20)
            return text + QStringLiteral("F%1").arg(special.qtKey - Qt::Key_F1 + 1);
    if (const auto character = characterForKeyCode(shortcut.carbonKeyCode))
        return text + QString::fromStdString(*character).left(4).toUpper();
    return text + QChar(0xFFFD);
}

std::optional<QKeyCombination> keyCombination(const Shortcut& shortcut) {
    Qt::KeyboardModifiers mods;
    const auto flags = shortcut.modifiers();
    if (contains(flags, ModifierFlags::Control))
        mods |= Qt::ControlModifier;
    if (contains(flags, ModifierFlags::Option))
        mods |= Qt::AltModifier;
    if (contains(flags, ModifierFlags::Shift))
        mods |= Qt::ShiftModifier;
    if (contains(flags, ModifierFlags::Command))
        mods |= Qt::MetaModifier;
    for (const auto& special : kSpecials)
        if (special.keyCode == shortcut.carbonKeyCode)
            return QKeyCombination(mods, special.qtKey);
    const auto character = characterForKeyCode(shortcut.carbonKeyCode);
    if (!character)
        return std::nullopt;
    const QString text = QString::fromStdString(*character);
    if (text.size() != 1)
        return std::nullopt;
    return QKeyCombination(mods, static_cast<Qt::Key>(text.at(0).toUpper().unicode()));
}

} // namespace overlook::KeyboardShortcuts
