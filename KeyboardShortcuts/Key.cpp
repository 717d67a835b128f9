#include "KeyboardShortcuts/Key.h"

#include <array>

namespace overlook::KeyboardShortcuts {

namespace {

// The physical layout of an ANSI keyboard as seen by Linux. The Help key of older
// keyboards sits where PC keyboards have Insert, and keypad Clear where Num Lock is;
// Linux reports them so, and mapping by position keeps a stored shortcut on the same
// physical key.
constexpr std::array<KeyPosition, 113> kPositions{{
    {0, 30, "AC01", "a"},     {11, 48, "AB05", "b"},    {8, 46, "AB03", "c"},
    {2, 32, "AC03", "d"},     {14, 18, "AD03", "e"},    {3, 33, "AC04", "f"},
    {5, 34, "AC05", "g"},     {4, 35, "AC06", "h"},     {34, 23, "AD08", "i"},
    {38, 36, "AC07", "j"},    {40, 37, "AC08", "k"},    {37, 38, "AC09", "l"},
    {46, 50, "AB07", "m"},    {45, 49, "AB06", "n"},    {31, 24, "AD09", "o"},
    {35, 25, "AD10", "p"},    {12, 16, "AD01", "q"},    {15, 19, "AD04", "r"},
    {1, 31, "AC02", "s"},     {17, 20, "AD05", "t"},    {32, 22, "AD07", "u"},
    {9, 47, "AB04", "v"},     {13, 17, "AD02", "w"},    {7, 45, "AB02", "x"},
    {16, 21, "AD06", "y"},    {6, 44, "AB01", "z"},
    {29, 11, "AE10", "0"},    {18, 2, "AE01", "1"},     {19, 3, "AE02", "2"},
    {20, 4, "AE03", "3"},     {21, 5, "AE04", "4"},     {23, 6, "AE05", "5"},
    {22, 7, "AE06", "6"},     {26, 8, "AE07", "7"},     {28, 9, "AE08", "8"},
    {25, 10, "AE09", "9"},
    {55, 125, "LWIN", ""},    {54, 126, "RWIN", ""},    {56, 42, "LFSH", ""},
    {60, 54, "RTSH", ""},     {57, 58, "CAPS", ""},     {58, 56, "LALT", ""},
    {61, 100, "RALT", ""},    {59, 29, "LCTL", ""},     {62, 97, "RCTL", ""},
    {63, 464, "", ""}, // Fn never reaches the X server
    {36, 28, "RTRN", ""},     {48, 15, "TAB", ""},      {49, 57, "SPCE", " "},
    {51, 14, "BKSP", ""},     {117, 111, "DELE", ""},   {53, 1, "ESC", ""},
    {114, 110, "INS", ""},
    {24, 13, "AE12", "="},    {27, 12, "AE11", "-"},    {30, 27, "AD12", "]"},
    {33, 26, "AD11", "["},    {39, 40, "AC11", "'"},    {41, 39, "AC10", ";"},
    {42, 43, "BKSL", "\\"},   {43, 51, "AB08", ","},    {44, 53, "AB10", "/"},
    {47, 52, "AB09", "."},    {50, 41, "TLDE", "`"},
    {126, 103, "UP", ""},     {125, 108, "DOWN", ""},   {123, 105, "LEFT", ""},
    {124, 106, "RGHT", ""},   {115, 102, "HOME", ""},   {119, 107, "END", ""},
    {116, 104, "PGUP", ""},   {121, 109, "PGDN", ""},
    {74, 113, "MUTE", ""},    {72, 115, "VOL+", ""},    {73, 114, "VOL-", ""},
    {122, 59, "FK01", ""},    {120, 60, "FK02", ""},    {99, 61, "FK03", ""},
    {118, 62, "FK04", ""},    {96, 63, "FK05", ""},     {97, 64, "FK06", ""},
    {98, 65, "FK07", ""},     {100, 66, "FK08", ""},    {101, 67, "FK09", ""},
    {109, 68, "FK10", ""},    {103, 87, "FK11", ""},    {111, 88, "FK12", ""},
    {105, 183, "FK13", ""},   {107, 184, "FK14", ""},   {113, 185, "FK15", ""},
    {106, 186, "FK16", ""},   {64, 187, "FK17", ""},    {79, 188, "FK18", ""},
    {80, 189, "FK19", ""},    {90, 190, "FK20", ""},
    {82, 82, "KP0", "0"},     {83, 79, "KP1", "1"},     {84, 80, "KP2", "2"},
    {85, 81, "KP3", "3"},     {86, 75, "KP4", "4"},     {87, 76, "KP5", "5"},
    {88, 77, "KP6", "6"},     {89, 71, "KP7", "7"},     {91, 72, "KP8", "8"},
    {92, 73, "KP9", "9"},     {65, 83, "KPDL", "."},    {67, 55, "KPMU", "*"},
    {69, 78, "KPAD", "+"},    {71, 69, "NMLK", ""},     {75, 98, "KPDV", "/"},
    {76, 96, "KPEN", ""},     {78, 74, "KPSU", "-"},    {81, 117, "KPEQ", "="},
}};

// Keys a US keyboard lacks. Kept apart from the table above: reading a character
// back into a key (keyCodeOfQtKey) must only ever land on a US key. The JIS key
// beside the left of the space bar is Muhenkan on PC keyboards, Eisu on others.
constexpr std::array<KeyPosition, 6> kNonUsPositions{{
    {10, 86, "LSGT", "<"},    {93, 124, "AE13", "¥"},   {94, 89, "AB11", "_"},
    {95, 95, "JPCM", ","},    {102, 94, "MUHE", ""},    {104, 92, "HENK", ""},
}};

template <class Match>
std::optional<KeyPosition> find(Match match) {
    for (const auto& position : kPositions)
        if (match(position))
            return position;
    for (const auto& position : kNonUsPositions)
        if (match(position))
            return position;
    return std::nullopt;
}

} // namespace

std::optional<KeyPosition> positionOfKeyCode(int keyCode) {
    return find([&](const KeyPosition& p) { return p.keyCode == keyCode; });
}

std::optional<KeyPosition> positionOfEvdevCode(int evdevCode) {
    return find([&](const KeyPosition& p) { return p.evdevCode == evdevCode; });
}

const KeyPosition* allKeyPositions(std::size_t* count) {
    *count = kPositions.size();
    return kPositions.data();
}

bool isFunctionKey(int keyCode) {
    for (const Key key : {Key::f1, Key::f2, Key::f3, Key::f4, Key::f5, Key::f6, Key::f7, Key::f8, Key::f9,
                          Key::f10, Key::f11, Key::f12, Key::f13, Key::f14, Key::f15, Key::f16, Key::f17,
                          Key::f18, Key::f19, Key::f20})
        if (key.rawValue == keyCode)
            return true;
    return false;
}

} // namespace overlook::KeyboardShortcuts
