#include "Platform/Fixture/TestPattern.h"
#include "tests/support/FixtureEnvironment.h"

#include <atomic>
#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::test;

namespace {
struct Updates {
    std::mutex mutex;
    std::vector<std::pair<FrameStatus, FrameSurfacePtr>> list;
    FrameHandler handler() {
        return [this](FrameStatus s, FrameSurfacePtr f) {
            std::lock_guard lock(mutex);
            list.emplace_back(s, std::move(f));
        };
    }
};
} // namespace

TEST(SyntheticCapture, FramesCarryTheAsymmetricPatternTopRowFirst) {
    FixtureEnvironment env(arrangementJson({displayJson(3, 0, "Main", 0, 0, 400, 200, true)}));
    auto queue = std::make_shared<DispatchQueue>("StreamQueue 3");
    Updates updates;
    auto stream = env.capture().createStream(3, 100, 50, kPixelFormatBGRA, {}, queue, updates.handler());
    ASSERT_TRUE(stream);
    EXPECT_EQ(env.capture().emit(3, FrameStatus::FrameComplete), 0); // not started yet
    stream->start();
    EXPECT_EQ(env.capture().emit(3, FrameStatus::FrameComplete), 1);
    queue->sync([] {});
    ASSERT_EQ(updates.list.size(), 1u);
    const auto& frame = *updates.list[0].second;
    EXPECT_EQ(frame.width(), 100);
    EXPECT_EQ(frame.height(), 50);
    EXPECT_EQ(frame.pixel(50, 0), fixture::kTopBandColor);         // top band
    EXPECT_EQ(frame.pixel(2, 10), fixture::kCornerBlockColor);     // left block below it
    EXPECT_EQ(frame.pixel(97, 10), env.displays().colorOf(3));     // right side: display colour
    EXPECT_EQ(frame.pixel(50, 49), env.displays().colorOf(3));     // bottom: display colour

    stream->stop();
    queue->sync([] {});
    EXPECT_EQ(updates.list.back().first, FrameStatus::Stopped);
    EXPECT_EQ(updates.list.back().second, nullptr);
}

TEST(SyntheticCapture, ADestroyedStreamDeliversNothingMore) {
    FixtureEnvironment env(arrangementJson({displayJson(3, 0, "Main", 0, 0, 400, 200, true)}));
    auto queue = std::make_shared<DispatchQueue>("q");
    Updates updates;
    auto stream = env.capture().createStream(3, 40, 20, kPixelFormatBGRA, {}, queue, updates.handler());
    stream->start();
    std::atomic<bool> release{false};
    queue->async([&] {
        while (!release)
            std::this_thread::yield();
    });
    env.capture().emit(3, FrameStatus::FrameComplete); // queued behind the blocker
    stream.reset();
    release = true;
    queue->sync([] {});
    EXPECT_TRUE(updates.list.empty());
    EXPECT_EQ(env.capture().liveStreamCount(), 0);
}

TEST(SyntheticCapture, RefusesBadRequests) {
    FixtureEnvironment env(arrangementJson({displayJson(3, 0, "Main", 0, 0, 400, 200, true)}));
    auto queue = std::make_shared<DispatchQueue>("q");
    Updates updates;
    EXPECT_FALSE(env.capture().createStream(3, 0, 20, kPixelFormatBGRA, {}, queue, updates.handler()));
    EXPECT_FALSE(env.capture().createStream(3, 20, 20, 0x1234, {}, queue, updates.handler()));
    env.capture().setRefuseCreation(true);
    EXPECT_FALSE(env.capture().createStream(3, 20, 20, kPixelFormatBGRA, {}, queue, updates.handler()));
}

TEST(FixtureArrangement, BadFilesGetClearMessages) {
    auto messageOf = [](const std::string& json) {
        try {
            fixture::parseArrangement(json);
        } catch (const fixture::FixtureError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(messageOf("{").find("not valid JSON"), std::string::npos);
    EXPECT_NE(messageOf("[]").find("\"displays\" array"), std::string::npos);
    EXPECT_NE(messageOf(R"({"displays": [{"id": 1}]})").find("needs \"bounds\""), std::string::npos);
    EXPECT_NE(messageOf(R"({"displays": [{"id": -1, "bounds": [0,0,1,1]}]})").find("unsigned"), std::string::npos);
    EXPECT_NE(messageOf(R"({"displays": [{"id": 1, "bounds": [0,0,1]}]})").find("bounds must be"), std::string::npos);
    EXPECT_NE(messageOf(R"({"displays": [{"id": 1, "bounds": [0,0,1,1]}, {"id": 1, "bounds": [0,0,1,1]}]})")
                  .find("repeats the id 1"),
              std::string::npos);
    EXPECT_NE(messageOf(R"({"displays": [{"id": 1, "name": 5, "bounds": [0,0,1,1]}]})").find("wrong type"),
              std::string::npos);
    EXPECT_THROW(fixture::loadArrangement("/nonexistent/arrangement.json"), fixture::FixtureError);
}

TEST(FixtureArrangement, ReconfigurationReportsEveryChangedDisplay) {
    FixtureEnvironment env(arrangementJson({displayJson(1, 0, "A", 0, 0, 100, 100, true),
                                            displayJson(2, 1, "B", 100, 0, 100, 100)}));
    std::vector<DisplayID> changed;
    auto token = env.displays().subscribeReconfiguration([&](DisplayID id) { changed.push_back(id); });
    env.displays().setArrangement(fixture::parseArrangement(arrangementJson(
        {displayJson(1, 0, "A", 0, 0, 100, 100, true), displayJson(3, 1, "C", 0, 100, 50, 50)})));
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<DisplayID>{2, 3}));
    token.reset();
    env.displays().setArrangement(fixture::parseArrangement(arrangementJson({displayJson(1, 0, "A", 0, 0, 10, 10, true)})));
    EXPECT_EQ(changed.size(), 2u);
}
