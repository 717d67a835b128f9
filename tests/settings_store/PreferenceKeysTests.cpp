#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/PreferenceKeys.h"
#include "Overlook/StreamQuality.h"
#include "tests/keyboard_shortcuts/ProcessSettings.h"

#include "Foundation/DefaultsStore.h"
#include "Foundation/Logger.h"

#include <limits>
#include <optional>

#include <gtest/gtest.h>

using namespace overlook;
using overlook::test::TempSettings;

namespace {

const bool kFolderReady = (test::processSettingsFolder(), true);

struct CommandRun {
    int code;
    std::string out, err;
};
CommandRun overlookCommand(const std::vector<std::string>& args) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int code = runOverlook(args);
    return {code, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

} // namespace

TEST(PreferenceKeys, AFreshStoreReadsTheDefaultsAlsoThroughTheControllersStore) {
    ASSERT_TRUE(kFolderReady);
    installStandardDefaults();
    DefaultsStore& store = standardDefaultsStore();
    EXPECT_EQ(store.floatForKey("scale"), 4.0f);
    EXPECT_FALSE(store.boolForKey(preferences::kAutoPlay));
    UserDefaults::standard()->set(preferences::kHideMainDisplay, true);
    EXPECT_TRUE(store.boolForKey(preferences::kHideMainDisplay));
    UserDefaults::standard()->removeObject(preferences::kHideMainDisplay);
    // The views' desaturation binding reads its own default; the store registers none.
    EXPECT_TRUE(preferences::desaturationPausedStream().get());
    EXPECT_FALSE(UserDefaults::standard()->object(preferences::kDesaturationPausedStream));
    EXPECT_FALSE(store.boolForKey(preferences::kDesaturationPausedStream));
}

TEST(PreferenceKeys, ColorBridgeKeepsComponentsAndWantsThreeNumbers) {
    const auto stored = ColorBridge::serialize(defaultCrosshairColor());
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, PropertyList(PropertyList::Array{1.0, 0.7843137254901961, 0.11764705882352941, 1.0}));
    EXPECT_EQ(ColorBridge::deserialize(*stored), defaultCrosshairColor());
    EXPECT_FALSE(ColorBridge::deserialize(PropertyList::Array{0.5, 1.0})); // grey: no colour
    EXPECT_FALSE(ColorBridge::deserialize(PropertyList::Array{0.1, "x", 0.3}));
    for (const auto& components : {PropertyList::Array{0.1, 0.2, 0.3}, PropertyList::Array{0.1, 0.2, 0.3, 0.4, 0.5}})
        EXPECT_EQ(ColorBridge::deserialize(components), GraphicsColor::genericRGB(0.1, 0.2, 0.3, 1));
}

TEST(StreamQuality, RawValuesAndKeyedCoding) {
    EXPECT_EQ(streamQualityFromRawValue(8.0), StreamQuality::eighth);
    for (double bad : {16.0, 3.0, 0.0, 4.0000001})
        EXPECT_FALSE(streamQualityFromRawValue(bad)) << bad;
    EXPECT_EQ(nlohmann::json::parse(R"({"quarter":{},"other":1})").get<StreamQuality>(), StreamQuality::quarter);
    for (const char* bad : {R"({"full":{},"half":{}})", "{}", R"({"half":1})"})
        EXPECT_THROW((void)nlohmann::json::parse(bad).get<StreamQuality>(), DecodingError) << bad;

    auto suite = UserDefaults::open(test::processSettingsFolder().dir(), "quality");
    Defaults::Key<StreamQuality> key("quality", StreamQuality::quarter, suite);
    EXPECT_EQ(suite->object("quality"), PropertyList(R"({"quarter":{}})"));
    key.set(StreamQuality::half);
    EXPECT_EQ(suite->object("quality"), PropertyList(R"({"half":{}})"));
    EXPECT_EQ(key.get(), StreamQuality::half);
    suite->set("quality", R"({"full":{},"half":{}})");
    EXPECT_EQ(key.get(), StreamQuality::quarter);
}

TEST(DefaultsCommand, WritesReadsAndDeletesTheUsersSettings) {
    EXPECT_EQ(overlookCommand({"defaults", "write", "scale", "2", "--type", "float"}).code, 0);
    EXPECT_EQ(overlookCommand({"defaults", "write", "autoPlay", "YES", "--type=bool"}).code, 0);
    EXPECT_EQ(overlookCommand({"defaults", "write", "note", "say \"hi\""}).code, 0);
    EXPECT_EQ(overlookCommand({"defaults", "write", "count", "-3", "--type", "int"}).code, 0);
    EXPECT_EQ(overlookCommand({"defaults", "read", "scale"}).out, "2\n");
    EXPECT_EQ(overlookCommand({"defaults", "read", "note"}).out, "\"say \\\"hi\\\"\"\n");
    EXPECT_EQ(overlookCommand({"defaults", "read"}).out,
              "{\n    \"autoPlay\" = 1;\n    \"count\" = -3;\n    \"note\" = \"say \\\"hi\\\"\";\n"
              "    \"scale\" = 2;\n}\n");
    EXPECT_EQ(test::processSettingsFolder().onDisk(UserDefaults::kStandardSuite).at("autoPlay"), PropertyList(true));

    EXPECT_EQ(overlookCommand({"defaults", "delete", "note"}).code, 0);
    const CommandRun missing = overlookCommand({"defaults", "read", "note"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "overlook defaults: there is no setting \"note\"\n");
    EXPECT_EQ(overlookCommand({"defaults", "delete", "note"}).code, 1);
    const CommandRun refused = overlookCommand({"defaults", "write", "note", "bell \a"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("holds control character 7"), std::string::npos);

    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"defaults"}, {"defaults", "dance"}, {"defaults", "write", "scale"}, {"defaults", "delete"},
             {"defaults", "write", "scale", "two", "--type", "float"}, {"defaults", "read", "a", "b"},
             {"defaults", "write", "scale", "1e999", "--type", "float"}, {"defaults", "read", "--type", "int"},
             {"defaults", "write", "n", "12abc", "--type", "int"}, {"defaults", "write", "b", "maybe", "--type", "bool"},
             {"defaults", "write", "b", "1", "--type", "date"}}) {
        const CommandRun run = overlookCommand(bad);
        EXPECT_EQ(run.code, 2) << bad.back();
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << bad.back();
    }
    const CommandRun tooLarge = overlookCommand({"defaults", "write", "note", std::string(9u << 20, 'x')});
    EXPECT_EQ(tooLarge.code, 1);
    EXPECT_NE(tooLarge.err.find("more than the 8388608 a settings file may hold"), std::string::npos) << tooLarge.err;
    EXPECT_EQ(overlookCommand({"defaults", "read", "scale"}).out, "2\n"); // nothing was lost
}

TEST(PreferenceKeys, EveryReadSettingIsMadeUsable) {
    ASSERT_TRUE(kFolderReady);
    installStandardDefaults();
    auto store = UserDefaults::standard();
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();

    // Scale: between 1 and 8 the nearest offered value by ratio, else the default.
    for (const auto& [stored, used] : std::vector<std::pair<PropertyList, double>>{
             {8.0, 8}, {1, 1}, {0.0, 4}, {-1.0, 4}, {1e-300, 4}, {1e308, 4}, {100000, 4}, {3.0, 4}, {2.5, 2}, {6.0, 8},
             {1.2, 1}, {false, 4}, {true, 1}, {"abc", 4}, {"2", 2}, {PropertyList::Array{}, 4}}) {
        ASSERT_TRUE(store->set("scale", stored));
        EXPECT_EQ(effectiveScale(), used) << stored.describe();
        EXPECT_EQ(effectiveScale(standardDefaultsStore().floatForKey("scale")), used) << stored.describe();
    }
    for (double v : {nan, inf, -inf})
        EXPECT_EQ(effectiveScale(v), 4.0) << v;

    for (const auto& [stored, used] : std::vector<std::pair<PropertyList, double>>{
             {7.5, 7.5}, {0.0, 2}, {-5, 2}, {100, 12}, {1e308, 12}, {"wide", 2}}) {
        ASSERT_TRUE(store->set("crosshairWeight", stored));
        EXPECT_EQ(effectiveCrosshairWeight(), used) << stored.describe();
    }
    for (double v : {nan, inf, -inf})
        EXPECT_EQ(effectiveCrosshairWeight(v), 2.0) << v;

    ASSERT_TRUE(store->set("crosshairColor", PropertyList::Array{2.0, -1.0, 0.5, 1e308}));
    EXPECT_EQ(effectiveCrosshairColor(), GraphicsColor::genericRGB(1, 0, 0.5, 1));
    EXPECT_EQ(effectiveCrosshairColor(GraphicsColor::genericRGB(0.5, nan, 0.5)), defaultCrosshairColor());
    EXPECT_EQ(effectiveCrosshairColor(GraphicsColor::genericRGB(0.5, 0.5, 0.5, -inf)), defaultCrosshairColor());

    for (const auto& [stored, used] : std::vector<std::pair<std::optional<PropertyList>, bool>>{
             {std::nullopt, true}, {0, false}, {3, true}, {false, false}, {0.0, false}, {"abc", true},
             {"false", false}, {"0", true}, {PropertyList::Array{}, true}}) {
        if (stored)
            ASSERT_TRUE(store->set(preferences::kDesaturationPausedStream, *stored));
        else
            store->removeObject(preferences::kDesaturationPausedStream);
        EXPECT_EQ(effectiveDesaturationPausedStream(), used) << (stored ? stored->describe() : "nothing");
    }

    LogCapture logs;
    store->set("scale", 0.0);
    for (int i = 0; i < 3; ++i)
        effectiveScale();
    store->set("scale", -2.0);
    effectiveScale();
    store->set("scale", 2.0);
    effectiveScale();
    store->set("crosshairWeight", 7.5);
    effectiveCrosshairWeight();
    store->set("crosshairWeight", 50.0);
    effectiveCrosshairWeight();
    const auto errors = logs.messages(LogLevel::Error);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].find("\"scale\" is 0, which cannot be used; using 4 instead"), std::string::npos) << errors[0];
    EXPECT_NE(errors[2].find("\"crosshairWeight\" is 50, which cannot be used; using 12 instead"), std::string::npos)
        << errors[2];

    for (const char* key : {"scale", "crosshairWeight", "crosshairColor", preferences::kDesaturationPausedStream})
        store->removeObject(key);
}
