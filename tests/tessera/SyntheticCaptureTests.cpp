#include "tests/support/FixtureEnvironment.h"

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::test;

TEST(SyntheticCapture, FramesComeBetweenStartAndStopAndNothingAfterTheStreamGoes) {
    FixtureEnvironment env(arrangementJson({displayJson(3, 0, "Main", 0, 0, 400, 200, true)}));
    auto queue = std::make_shared<DispatchQueue>("StreamQueue 3");
    std::mutex mutex;
    std::vector<std::pair<FrameStatus, FrameSurfacePtr>> updates;
    const FrameHandler handler = [&](FrameStatus s, FrameSurfacePtr f) {
        std::lock_guard lock(mutex);
        updates.emplace_back(s, std::move(f));
    };
    auto stream = env.capture().createStream(3, 100, 50, kPixelFormatBGRA, {}, queue, handler);
    ASSERT_TRUE(stream);
    EXPECT_EQ(env.capture().emit(3, FrameStatus::FrameComplete), 0); // not started yet
    stream->start();
    EXPECT_EQ(env.capture().emit(3, FrameStatus::FrameComplete), 1);
    queue->sync([] {});
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].second->width(), 100);
    stream->stop();
    queue->sync([] {});
    EXPECT_EQ(updates.back(), (std::pair<FrameStatus, FrameSurfacePtr>{FrameStatus::Stopped, nullptr}));

    stream.reset();
    EXPECT_EQ(env.capture().emit(3, FrameStatus::FrameComplete), 0);
    EXPECT_EQ(env.capture().liveStreamCount(), 0);
}

TEST(FixtureArrangement, BadFilesGetClearMessages) {
    for (auto [json, message] : std::vector<std::pair<const char*, const char*>>{
             {"{", "not valid JSON"},
             {"[]", "\"displays\" array"},
             {R"({"displays": [{"id": 1}]})", "needs \"bounds\""},
             {R"({"displays": [{"id": 1, "bounds": [0,0,1,1]}, {"id": 1, "bounds": [0,0,1,1]}]})", "repeats the id 1"}}) {
        try {
            fixture::parseArrangement(json);
            ADD_FAILURE() << json;
        } catch (const fixture::FixtureError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}
