#include "Foundation/Logger.h"

#include <gtest/gtest.h>
#include <thread>

using namespace overlook;

TEST(Logger, CaptureRecordsEveryLevelWithSubsystemAndCategory) {
    LogCapture capture;
    Logger log("io.overlook.Tessera", "Display");
    log.debug("d %d", 1);
    log.info("Creating stream for display %s with dimensions: %f \u00d7 %f", "Main", 756.0, 491.0);
    log.notice("n");
    log.error("Failed to create an image of display %s (%u)", "Side", 7u);
    log.fault("%s", "Unknown Default Frame Status: 9");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].level, LogLevel::Debug);
    EXPECT_EQ(records[1].message, "Creating stream for display Main with dimensions: 756.000000 × 491.000000");
    EXPECT_EQ(records[2].level, LogLevel::Default);
    EXPECT_EQ(records[3].subsystem, "io.overlook.Tessera");
    EXPECT_EQ(records[3].category, "Display");
    EXPECT_TRUE(capture.contains(LogLevel::Error, "Failed to create an image of display Side (7)"));
    EXPECT_FALSE(capture.contains(LogLevel::Info, "Failed to create an image of display Side (7)"));
    EXPECT_EQ(capture.messages(LogLevel::Fault), std::vector<std::string>{"Unknown Default Frame Status: 9"});
}

TEST(Logger, LongMessagesAreNotTruncatedAndCapturesNest) {
    LogCapture outer;
    const std::string longText(2000, 'x');
    {
        LogCapture inner;
        Logger("s", "c").info("%s", longText.c_str());
        plainLog("plain %d", 42);
        EXPECT_EQ(inner.messages(), (std::vector<std::string>{longText, "plain 42"}));
        EXPECT_EQ(inner.records()[1].category, "plain");
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
