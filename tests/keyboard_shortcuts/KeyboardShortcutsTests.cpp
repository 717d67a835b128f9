#include "Foundation/Logger.h"
#include "KeyboardShortcuts/KeyboardShortcuts.h"
#include "settings_store/UserDefaults.h"
#include "tests/keyboard_shortcuts/ProcessSettings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace overlook;
using namespace overlook::KeyboardShortcuts;

namespace {

const bool kFolderReady = (test::processSettingsFolder(), true);

const Shortcut kControlOptionCommandP(35, 6400);
const Shortcut kControlA(0, 4096);
const Shortcut kShiftOptionS(1, 512 | 2048);

class KeyboardShortcutsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kFolderReady);
        resetForTesting();
        auto service = std::make_unique<InProcessHotKeyService>();
        system = service.get();
        setHotKeyService(std::move(service));
        observation = NotificationCenter::defaultCenter().addObserver(
            kShortcutByNameDidChange, [this](const Notification& n) {
                notified.push_back(std::any_cast<Name>(n.userInfo.at("name")).rawValue);
            });
    }
    void TearDown() override { resetForTesting(); }

    static std::string fresh(const std::string& base) {
        static int counter = 0;
        return base + std::to_string(++counter);
    }
    static std::optional<PropertyList> stored(const Name& name) {
        return UserDefaults::standard()->object(storageKey(name));
    }

    InProcessHotKeyService* system = nullptr;
    std::vector<std::string> notified;
    ScopedConnection observation;
};

} // namespace

TEST_F(KeyboardShortcutsTest, AFreshStoreGetsTheDefaultOnceAndAClearedNameStaysCleared) {
    UserDefaults::standard()->removeObject("KeyboardShortcuts_showPopover");
    const Name& showPopover = Name::showPopover();
    const auto entry = stored(showPopover);
    ASSERT_TRUE(entry && entry->get<std::string>());
    EXPECT_EQ(nlohmann::json::parse(*entry->get<std::string>()),
              (nlohmann::json{{"carbonKeyCode", 35}, {"carbonModifiers", 6400}}));
    EXPECT_EQ(notified, std::vector<std::string>{"showPopover"});

    setShortcut(std::nullopt, showPopover);
    EXPECT_EQ(stored(showPopover), PropertyList(false));
    EXPECT_EQ(notified.size(), 2u);

    const Name again("showPopover", kControlOptionCommandP);
    EXPECT_EQ(stored(again), PropertyList(false));
    EXPECT_EQ(getShortcut(again), std::nullopt);
    EXPECT_EQ(notified.size(), 2u);
    UserDefaults::standard()->removeObject("KeyboardShortcuts_showPopover");
}

TEST_F(KeyboardShortcutsTest, AnUnreadableEntryIsReportedOnceWhenTheNameIsCreated) {
    const Name empty(fresh("empty"));
    setShortcut(std::nullopt, empty); // nothing to clear: nothing written or posted
    EXPECT_EQ(stored(empty), std::nullopt);

    const std::string raw = fresh("garbled");
    const std::string garbled = R"({"carbonKeyCode":"p","carbonModifiers":6400})";
    UserDefaults::standard()->set("KeyboardShortcuts_" + raw, garbled);
    LogCapture log;
    const Name name(raw, kControlOptionCommandP);
    const auto errors = [&] { return log.messages(LogLevel::Error); };
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_NE(errors()[0].find("KeyboardShortcuts_" + raw), std::string::npos) << errors()[0];
    // Neither the default nor a clearing replaces what the user's file holds.
    setShortcut(std::nullopt, name);
    EXPECT_EQ(stored(name), PropertyList(garbled));
    EXPECT_TRUE(notified.empty());

    // Read on every hot-key press: the same entry is not reported again.
    onKeyDown(name, [] {});
    EXPECT_EQ(getShortcut(name), std::nullopt);
    EXPECT_EQ(errors().size(), 1u);
    UserDefaults::standard()->set(storageKey(name), true);
    EXPECT_EQ(getShortcut(name), std::nullopt);
    EXPECT_EQ(errors().size(), 2u);
}

TEST_F(KeyboardShortcutsTest, ActionsRunInOrderForEveryNameOnItsCurrentShortcut) {
    const Name first(fresh("first")), second(fresh("second"));
    setShortcut(kControlA, first);
    setShortcut(kControlA, second);
    std::vector<std::string> ran;
    onKeyDown(first, [&] { ran.push_back("first down 1"); });
    onKeyDown(first, [&] { ran.push_back("first down 2"); });
    onKeyUp(second, [&] { ran.push_back("second up"); });

    system->press(0, 4096);
    EXPECT_EQ(ran, (std::vector<std::string>{"first down 1", "first down 2"}));
    ran.clear();
    const auto reports = std::count_if(system->registrations().begin(), system->registrations().end(),
                                       [](const auto& r) { return r.keyCode == 0; });
    system->release(0, 4096);
    EXPECT_EQ(ran, std::vector<std::string>(reports, "second up"));

    setShortcut(kShiftOptionS, first);
    ran.clear();
    system->press(0, 4096);
    system->release(0, 4096);
    EXPECT_FALSE(ran.empty()) << "the other name's hot key went with the moved one";
    EXPECT_EQ(std::count(ran.begin(), ran.end(), "second up"), std::ssize(ran));
    ran.clear();
    system->press(1, 2560);
    EXPECT_EQ(ran, (std::vector<std::string>{"first down 1", "first down 2"}));
    setShortcut(std::nullopt, second);
    EXPECT_EQ(system->press(0, 4096), std::nullopt);
}

TEST_F(KeyboardShortcutsTest, ARefusedRegistrationIsRememberedAndAServiceInstalledLaterGetsEverything) {
    // At start-up the actions come before the service: no word then.
    LogCapture log;
    setHotKeyService(nullptr);
    const Name early(fresh("early"));
    setShortcut(kControlA, early);
    int runs = 0;
    onKeyUp(early, [&] { ++runs; });
    EXPECT_TRUE(log.messages(LogLevel::Info).empty()) << log.messages(LogLevel::Info).front();

    auto service = std::make_unique<InProcessHotKeyService>();
    auto* later = service.get();
    later->heldElsewhere.push_back({1, 2560});
    setHotKeyService(std::move(service));
    ASSERT_EQ(later->registrations().size(), 1u);
    later->release(0, 4096);
    EXPECT_EQ(runs, 1);

    const Name taken(fresh("taken"));
    setShortcut(kShiftOptionS, taken);
    EXPECT_EQ(getShortcut(taken), kShiftOptionS);
    onKeyUp(taken, [&] { ++runs; });
    EXPECT_EQ(later->registrations().size(), 1u);
    EXPECT_EQ(log.messages(LogLevel::Info).size(), 1u);
    EXPECT_EQ(later->release(1, 2560), std::nullopt);
}

TEST_F(KeyboardShortcutsTest, ReservedShortcutsAreTheEnabledWellFormedBindingsAndRefusedTrials) {
    system->symbolic = {
        {true, 48, 256},           // Super+Tab
        {false, 49, 256},          // disabled
        {true, std::nullopt, 256}, // no key
        {true, 53, std::nullopt},  // no modifiers
        {true, 123, 4096 | 0x400 | 0x1}, // foreign bits drop out
    };
    EXPECT_EQ(systemReservedShortcuts(), (std::vector<Shortcut>{Shortcut(48, 256), Shortcut(123, 4096)}));
    EXPECT_TRUE(isSystemReserved(Shortcut(123, 4096)));
    EXPECT_FALSE(isSystemReserved(Shortcut(49, 256)));
}
