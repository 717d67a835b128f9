#include "KeyboardShortcuts/HotKeyRegistry.h"
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
    EXPECT_EQ(positionOfEvdevCode(86)->xkbName, "LSGT");
    EXPECT_FALSE(positionOfEvdevCode(99)); // Print: no code, so never recorded
    EXPECT_TRUE(isFunctionKey(Key::f5.rawValue) && isFunctionKey(Key::f20.rawValue));
    EXPECT_FALSE(isFunctionKey(Key::p.rawValue));
}

TEST(ShortcutModel, OnlyTheFourModifiersSurviveAndJsonRoundTrips) {
    EXPECT_EQ(carbonModifiers(ModifierFlags::Control | ModifierFlags::Option | ModifierFlags::Command), 6400);
    EXPECT_EQ(carbonModifiers(ModifierFlags::CapsLock | ModifierFlags::Function | ModifierFlags::NumericPad |
                              ModifierFlags::Shift),
              512);
    EXPECT_EQ(modifierFlags(4096 | 256), ModifierFlags::Control | ModifierFlags::Command);
    EXPECT_EQ(modifierFlags(0x200 | 0x800 | 0x1 | 0x400), ModifierFlags::Shift | ModifierFlags::Option);
    EXPECT_EQ(normalizedCarbonModifiers(6400 | 0x400 | 0x2), 6400);
    EXPECT_EQ(shortcutFromKeyEvent(35, 0x40000 | 0x10000 | 0x800000 | 0x100 | 0x8), Shortcut(35, 4096));
    EXPECT_EQ(Shortcut(Key::p, ModifierFlags::Control | ModifierFlags::CapsLock).carbonModifiers, 4096);
    EXPECT_EQ(Shortcut(35, 6400).modifiers(), ModifierFlags::Control | ModifierFlags::Option | ModifierFlags::Command);
    EXPECT_EQ(Shortcut(35, 6400).key(), Key::p);

    EXPECT_EQ(Shortcut::fromJson(Shortcut(35, 6400).toJson()), Shortcut(35, 6400));
    EXPECT_EQ(Shortcut::fromJson(R"( {"carbonModifiers": 512, "carbonKeyCode": 0, "extra": true} )"), Shortcut(0, 512));
    for (const char* bad : {"", "false", "[35, 6400]", "{\"carbonKeyCode\":35}", "{\"carbonKeyCode\":\"35\",\"carbonModifiers\":0}",
                            "{\"carbonKeyCode\":35.5,\"carbonModifiers\":0}",
                            "{\"carbonKeyCode\":35,\"carbonModifiers\":99999999999}",
                            "{\"carbonKeyCode\":35,\"carbonModifiers\":18446744073709551615}",
                            "{\"carbonKeyCode\":35,\"carbonModifiers\":0", "\xff\xfe"})
        EXPECT_FALSE(Shortcut::fromJson(bad)) << bad;
}

TEST(HotKeyRegistry, HandsOutIdsFromOneSpendsRefusedIdsAndAnswersForeignEvents) {
    HotKeyRegistry registry;
    auto service = std::make_unique<InProcessHotKeyService>();
    auto* system = service.get();
    system->heldElsewhere.push_back({0, 4096});
    registry.setService(std::move(service));

    std::vector<std::string> calls;
    const auto record = [&](const char* what) {
        return [&calls, what](const Shortcut& s) { calls.push_back(what + std::to_string(s.carbonKeyCode)); };
    };
    EXPECT_FALSE(registry.registerHotKey(Shortcut(0, 4096), record("down"), record("up")));
    EXPECT_EQ(system->handlerInstallCount(), 0);
    EXPECT_TRUE(registry.registerHotKey(Shortcut(35, 6400), record("down"), record("up")));
    EXPECT_TRUE(registry.registerHotKey(Shortcut(35, 6400), record("Down"), record("Up")));
    EXPECT_TRUE(registry.registerHotKey(Shortcut(1, 512), record("down"), record("up")));
    EXPECT_EQ(system->handlerInstallCount(), 1);
    ASSERT_EQ(system->registrations().size(), 3u);
    EXPECT_EQ(system->registrations()[0].id.id, 2); // id 1 went to the refused one

    EXPECT_EQ(system->press(35, 6400), kNoError);
    EXPECT_EQ(system->release(35, 6400), kNoError);
    EXPECT_EQ(calls, (std::vector<std::string>{"down35", "Down35", "up35", "Up35"}));
    EXPECT_EQ(system->deliver({HotKeyId{0x41424344, 2}, 5}), kEventNotHandled);
    EXPECT_EQ(system->deliver({HotKeyId{HotKeyRegistry::kSignature, 99}, 5}), kEventNotHandled);
    EXPECT_EQ(system->deliver({HotKeyId{HotKeyRegistry::kSignature, 2}, 7}), kEventNotHandled);
    EXPECT_EQ(system->deliver({std::nullopt, 5}), kEventParameterNotFound);
    EXPECT_EQ(calls.size(), 4u);

    registry.unregisterHotKey(Shortcut(35, 6400));
    ASSERT_EQ(system->registrations().size(), 1u);
    EXPECT_EQ(system->registrations()[0].keyCode, 1);
    EXPECT_EQ(registry.hotKeys().size(), 1u);
    EXPECT_EQ(system->press(35, 6400), std::nullopt);
}
