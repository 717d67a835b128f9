#include "KeyboardShortcuts/Shortcut.h"

#include <gtest/gtest.h>

#include <set>

using namespace overlook::KeyboardShortcuts;

TEST(ShortcutModel, EveryKeyHasItsOwnCodeEvdevCodeAndXkbName) {
    std::size_t count = 0;
    const KeyPosition* positions = allKeyPositions(&count);
    std::set<int> codes, evdev;
    std::set<std::string_view> names;
    for (std::size_t i = 0; i < count; ++i) {
        codes.insert(positions[i].keyCode);
        evdev.insert(positions[i].evdevCode);
        if (!positions[i].xkbName.empty())
            names.insert(positions[i].xkbName);
    }
    EXPECT_EQ(codes.size(), count);
    EXPECT_EQ(evdev.size(), count);
    EXPECT_EQ(names.size(), count - 1); // Fn has no X key
    EXPECT_EQ(positionOfKeyCode(Key::p.rawValue)->evdevCode + 8, 33);
    EXPECT_EQ(positionOfEvdevCode(25)->keyCode, Key::p.rawValue);
    for (const Key key : {Key::isoSection, Key::jisYen, Key::jisUnderscore, Key::jisKeypadComma, Key::jisEisu,
                          Key::jisKana}) {
        const auto position = positionOfKeyCode(key.rawValue);
        ASSERT_TRUE(position) << key.rawValue;
        EXPECT_FALSE(codes.contains(key.rawValue) || evdev.contains(position->evdevCode) || names.contains(position->xkbName))
            << key.rawValue;
        EXPECT_EQ(positionOfEvdevCode(position->evdevCode)->keyCode, key.rawValue);
    }
    EXPECT_FALSE(positionOfEvdevCode(99)); // Print: no code, so never recorded
}

TEST(ShortcutModel, OnlyTheFourModifiersSurviveAndJsonRoundTrips) {
    EXPECT_EQ(carbonModifiers(ModifierFlags::CapsLock | ModifierFlags::Function | ModifierFlags::NumericPad |
                              ModifierFlags::Shift),
              512);
    EXPECT_EQ(modifierFlags(0x200 | 0x800 | 0x1 | 0x400), ModifierFlags::Shift | ModifierFlags::Option);
    EXPECT_EQ(shortcutFromKeyEvent(35, 0x40000 | 0x10000 | 0x800000 | 0x100 | 0x8), Shortcut(35, 4096));

    EXPECT_EQ(Shortcut::fromJson(Shortcut(35, 6400).toJson()), Shortcut(35, 6400));
    EXPECT_EQ(Shortcut::fromJson(R"( {"carbonModifiers": 512, "carbonKeyCode": 0, "extra": true} )"), Shortcut(0, 512));
    for (const char* bad : {"false", "[35, 6400]", "{\"carbonKeyCode\":35}", "{\"carbonKeyCode\":\"35\",\"carbonModifiers\":0}",
                            "{\"carbonKeyCode\":35.5,\"carbonModifiers\":0}", "{\"carbonKeyCode\":35,\"carbonModifiers\":0",
                            "{\"carbonKeyCode\":35,\"carbonModifiers\":18446744073709551615}"})
        EXPECT_FALSE(Shortcut::fromJson(bad)) << bad;
}
