#include "Overlook/CommandLine/CommandLine.h"
#include "tests/support/Processes.h"

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace overlook;

TEST(CommandLine, OptionsAndBadArguments) {
    OptionReader options({"--scale=2", "extra"});
    EXPECT_EQ(options.next(), "--scale");
    EXPECT_EQ(options.value(), "2");
    EXPECT_EQ(options.positional(), "extra");
    EXPECT_TRUE(options.done());
    EXPECT_THROW(backendOption("fixture="), UsageError);

    for (const auto& bad : std::vector<std::vector<std::string>>{
             {}, {"dance"}, {"displays", "--jsn"}, {"displays", "--backend"}, {"displays", "--backend", "mir"},
             {"displays", "stray"}}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(runOverlook(bad), 2);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("usage:"), std::string::npos);
    }
    testing::internal::CaptureStderr();
    runOverlook({"displays", "--bogus"});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("unknown option '--bogus'"), std::string::npos);
}

TEST(CommandLine, ShippedFixtureRunsEndToEnd) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(runOverlook({"displays", "--json", "--backend", "fixture=" OVERLOOK_SOURCE_DIR "/fixtures/two-displays.json"}), 0);
    const auto json = nlohmann::json::parse(testing::internal::GetCapturedStdout());
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[1]["localizedName"], "DELL U2720Q");
    EXPECT_EQ(json[1]["size"]["width"], 597.0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(runOverlook({"displays", "--backend", "fixture=/nonexistent.json"}), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot open the fixture file"), std::string::npos);
}

TEST(CommandLine, TheCommandLineProgramHandsThePreviewToTheApplicationProgram) {
    const std::string ldd = overlook::test::shellOutput("ldd " OVERLOOK_BINARY);
    ASSERT_FALSE(ldd.empty());
    EXPECT_EQ(ldd.find("libQt6"), std::string::npos);
}

TEST(CommandLine, WithoutADisplayServerNothingIsMadeUp) {
    // An SSH shell: the demo displays must not pass for real ones.
    const overlook::test::ScopedEnvironment unset({{"DISPLAY", ""}, {"OVERLOOK_BACKEND", ""}});
    testing::internal::CaptureStderr();
    EXPECT_EQ(runOverlook({"screenshot", "--output", "/tmp/overlook-never-written.png"}), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no display server to talk to"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("/tmp/overlook-never-written.png"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(runOverlook({"displays"}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("DELL"), std::string::npos);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no display server to talk to"), std::string::npos);
    // Asked for, the fixture still answers.
    setenv("OVERLOOK_BACKEND", "fixture", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(runOverlook({"displays"}), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("DELL U2720Q"), std::string::npos);
}
