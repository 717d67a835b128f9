#include "Foundation/Logger.h"

#include <gtest/gtest.h>
#include <ctime>
#include <regex>
#include <thread>
#include <unistd.h>

using namespace overlook;

TEST(Logger, CapturesNestAndRecordEveryLevelUntruncatedWithSubsystemAndCategory) {
    LogCapture outer;
    {
        LogCapture capture;
        Logger log("io.overlook.Tessera", "Display");
        log.debug("d %d", 1);
        log.info("Creating stream for display %s with dimensions: %f \u00d7 %f", "Main", 756.0, 491.0);
        log.notice("%s", std::string(2000, 'x').c_str());
        log.error("Failed to create an image of display %s (%u)", "Side", 7u);
        log.fault("%s", "Unknown Default Frame Status: 9");
        plainLog("plain %d", 42);
        const auto records = capture.records();
        ASSERT_EQ(records.size(), 6u);
        EXPECT_EQ(records[1].message, "Creating stream for display Main with dimensions: 756.000000 × 491.000000");
        EXPECT_EQ(records[2].level, LogLevel::Default);
        EXPECT_EQ(records[2].message, std::string(2000, 'x'));
        EXPECT_EQ(records[3].subsystem, "io.overlook.Tessera");
        EXPECT_EQ(records[3].category, "Display");
        EXPECT_TRUE(capture.contains(LogLevel::Error, "Failed to create an image of display Side (7)"));
        EXPECT_FALSE(capture.contains(LogLevel::Info, "Failed to create an image of display Side (7)"));
        EXPECT_EQ(capture.messages(LogLevel::Fault), std::vector<std::string>{"Unknown Default Frame Status: 9"});
        EXPECT_EQ(records[5].message, "plain 42");
        EXPECT_EQ(records[5].category, "plain");
    }
    Logger("s", "c").error("after");
    EXPECT_EQ(outer.messages(), std::vector<std::string>{"after"});
}

TEST(Logger, ConcurrentWritersLoseNothing) {
    LogCapture capture;
    Logger log("s", "c");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                log.info("m");
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(capture.records().size(), 1000u);
}

// The journal is bypassed here.
TEST(Logger, TerminalLinesCarryTheLocalTimeTheProcessTheSourceAndTheLevel) {
    setenv("OVERLOOK_LOG_STDERR", "1", 1);
    const auto today = [] {
        const std::time_t now = std::time(nullptr);
        char day[16];
        std::strftime(day, sizeof day, "%Y-%m-%d", std::localtime(&now));
        return std::string(day);
    };
    const std::string dayBefore = today();
    testing::internal::CaptureStderr();
    Logger("io.overlook.Tessera", "Display").error("no picture from %s", "Side");
    Logger("s", "c").info("below the threshold");
    plainLog("plain %d", 42);
    const std::string text = testing::internal::GetCapturedStderr();
    const std::string stamp = "(" + dayBefore + "|" + today() + ") [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} overlook\\[" +
                              std::to_string(getpid()) + "\\] ";
    EXPECT_TRUE(std::regex_match(
        text, std::regex(stamp + "\\[io\\.overlook\\.Tessera:Display\\] <error> no picture from Side\n" + stamp + "plain 42\n")))
        << text;
}
