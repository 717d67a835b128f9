#include "Overlook/CommandLine.h"
#include "Overlook/DisplaysCommand.h"
#include "tests/support/FixtureEnvironment.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace overlook;

TEST(CommandLine, ParsesDisplaysAndRejectsBadArguments) {
    auto ok = parseCommandLine({"displays", "--json", "--backend", "fixture=/tmp/a.json"});
    ASSERT_TRUE(ok.commandLine);
    EXPECT_TRUE(ok.commandLine->json);
    EXPECT_EQ(ok.commandLine->backend->fixtureFile, "/tmp/a.json");
    EXPECT_EQ(parseCommandLine({"displays", "--backend=x11"}).commandLine->backend->kind, BackendChoice::Kind::X11);
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {}, {"dance"}, {"displays", "--jsn"}, {"displays", "--backend"}, {"displays", "--backend", "wayland"},
             {"displays", "--backend", "fixture="}}) {
        auto r = parseCommandLine(bad);
        EXPECT_FALSE(r.commandLine);
        EXPECT_FALSE(r.error.empty());
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(runOverlook({"displays", "--bogus"}), 2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("unknown option '--bogus'"), std::string::npos);
    EXPECT_NE(err.find("usage: overlook"), std::string::npos);
}

TEST(CommandLine, DisplaysJsonHasOneObjectPerRecordWithFieldNames) {
    overlook::test::FixtureEnvironment env(R"({"displays": [
        {"id": 1, "unitNumber": 0, "name": "Built-in Retina Display", "sizeMillimetres": [344, 222],
         "main": true, "builtin": true, "bounds": [0, 0, 1512, 982]},
        {"id": 2, "unitNumber": 1, "name": "DELL", "rotation": 90, "bounds": [-1080, -98, 1080, 1920]}]})");
    const auto json = nlohmann::json::parse(displaysAsJson(Display::activeDisplays()));
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0]["id"], 1);
    EXPECT_EQ(json[0]["localizedName"], "Built-in Retina Display");
    EXPECT_EQ(json[0]["size"]["width"], 344.0);
    EXPECT_EQ(json[0]["isMain"], true);
    EXPECT_EQ(json[0]["isBuiltin"], true);
    EXPECT_EQ(json[1]["rotation"], 90.0);
    EXPECT_EQ(json[1]["bounds"]["x"], -1080.0);
    EXPECT_EQ(json[1]["screenFrame"]["y"], -840.0); // y-up: 982 - (-98 + 1920)
    EXPECT_EQ(json[1]["unitNumber"], 1);
}

TEST(CommandLine, ShippedFixtureRunsEndToEnd) {
    testing::internal::CaptureStdout();
    const int code = runOverlook({"displays", "--json", "--backend", "fixture=" OVERLOOK_SOURCE_DIR "/fixtures/two-displays.json"});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    const auto json = nlohmann::json::parse(out);
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[1]["localizedName"], "DELL U2720Q");

    testing::internal::CaptureStderr();
    EXPECT_EQ(runOverlook({"displays", "--backend", "fixture=/nonexistent.json"}), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot open the fixture file"), std::string::npos);
}
