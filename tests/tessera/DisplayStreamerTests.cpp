#include "Foundation/Logger.h"
#include "Tessera/DisplayStreamer.h"
#include "Tessera/FrameDelivery.h"
#include "Tessera/FramePool.h"
#include "tests/support/FixtureEnvironment.h"

#include <algorithm>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace overlook;
using namespace overlook::test;

namespace {

const std::string kLaptop = arrangementJson(
    {displayJson(1, 0, "Built-in", 0, 0, 1512, 982, true), displayJson(2, 1, "Side", 1512, 0, 1920, 1080)});

class DisplayStreamerTest : public ::testing::Test {
protected:
    FixtureEnvironment env{kLaptop};

    DisplayStreamerPtr make(DisplayID id = 1, double scale = 1, bool visible = true) {
        return std::make_shared<DisplayStreamer>(Display(id), visible, scale);
    }
    void settle(const DisplayStreamerPtr& s) { FixtureEnvironment::settle(*s->streamQueue()); }
};

} // namespace

TEST_F(DisplayStreamerTest, ANewStreamerIsStoppedWithoutImageAndARefusedOneStillReportsStreaming) {
    auto s = make();
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::Stopped);
    EXPECT_FALSE(s->isStreaming.get() || s->hasStream());
    EXPECT_FALSE(s->flippedScreenImage());
    EXPECT_EQ(env.capture().createdStreams().size(), 0u);

    env.capture().setRefuseCreation(true);
    s->start(false);
    EXPECT_TRUE(s->isStreaming.get());
    EXPECT_FALSE(s->hasStream());
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::Stopped);
    s->toggle();
    EXPECT_FALSE(s->isStreaming.get());
}

TEST_F(DisplayStreamerTest, StartCreatesOneStreamOfTheTruncatedOutputSizeAndStopAlwaysStops) {
    for (auto [scale, width, height] : {std::tuple{2.0, 756, 491}, {4.0, 378, 245}}) {
        auto s = make(1, scale);
        const std::size_t before = env.capture().createdStreams().size();
        const int starts = env.capture().startCount(1);
        s->start(false);
        s->start(false);
        EXPECT_EQ(env.capture().createdStreams().size(), before + 1);
        EXPECT_EQ(env.capture().startCount(1), starts + 2);
        EXPECT_TRUE(s->isStreaming.get());
        s->releaseStream();
        const auto created = env.capture().createdStreams().back();
        EXPECT_EQ(std::pair(created.width, created.height), (std::pair<std::int64_t, std::int64_t>(width, height)));
        EXPECT_TRUE(created.properties.showCursor);
    }

    auto fresh = make(2);
    fresh->isStreaming = true;
    fresh->stop();
    EXPECT_FALSE(fresh->isStreaming.get());
    EXPECT_EQ(env.capture().stopCount(2), 0);
}

TEST_F(DisplayStreamerTest, StatusesReachTheMainThreadInUpdateOrderAndOnlyFramesChangeTheImage) {
    auto s = make();
    std::vector<FrameStatus> seen;
    const auto mainThread = std::this_thread::get_id();
    bool offMain = false;
    ScopedConnection c = s->currentStatus.changed.connect([&](const FrameStatus& st) {
        seen.push_back(st);
        offMain |= std::this_thread::get_id() != mainThread;
    });
    s->start(false);
    std::promise<void> release;
    s->streamQueue()->async([held = release.get_future().share()] { held.wait(); });
    using S = FrameStatus;
    for (auto st : {S::FrameComplete, S::FrameComplete, S::FrameIdle, S::FrameComplete, S::FrameBlank,
                    S::FrameComplete, S::FrameComplete})
        env.capture().emit(1, st);
    release.set_value();
    s->streamQueue()->sync([] {});
    EXPECT_TRUE(seen.empty()); // nothing before the main queue runs
    FixtureEnvironment::drainMain();
    // Adjacent frames share one slot; a frame after an idle or blank update never joins the one before.
    EXPECT_EQ(seen, (std::vector<S>{S::FrameComplete, S::FrameIdle, S::FrameComplete, S::FrameBlank,
                                    S::FrameComplete}));
    EXPECT_FALSE(offMain);

    env.capture().emit(1, S::FrameComplete);
    settle(s);
    const auto image = s->screenImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->extent(), Rect(0, 0, 1512, 982));
    for (auto st : {S::FrameIdle, S::FrameBlank}) {
        env.capture().emit(1, st);
        settle(s);
        EXPECT_EQ(s->currentStatus.get(), st);
        EXPECT_EQ(s->screenImage(), image);
    }
    s->releaseStream();
    settle(s);
}

TEST_F(DisplayStreamerTest, AutomaticPauseKeepsExactlyTheFirstFrameAndNeverStopsALaterStart) {
    auto s = make(2, 2);
    s->start(true);
    EXPECT_TRUE(s->pauseOnNextFrame());
    env.capture().emit(2, FrameStatus::FrameComplete);
    s->streamQueue()->sync([] {});
    const auto first = s->screenImage();
    ASSERT_TRUE(first);
    env.capture().emit(2, FrameStatus::FrameComplete);
    s->streamQueue()->sync([] {});
    EXPECT_EQ(s->screenImage(), first);
    FixtureEnvironment::drainMain();
    settle(s);
    EXPECT_FALSE(s->isStreaming.get() || s->pauseOnNextFrame());
    EXPECT_EQ(s->screenImage(), first);
    EXPECT_EQ(s->currentStatus.get(), FrameStatus::Stopped);

    // Paused again, but the user presses play before the main queue stops the stream.
    s->start(true);
    env.capture().emit(2, FrameStatus::FrameComplete);
    s->streamQueue()->sync([] {});
    const auto second = s->screenImage();
    EXPECT_NE(second, first);
    s->start(false);
    FixtureEnvironment::drainMain();
    EXPECT_TRUE(s->isStreaming.get());
    env.capture().emit(2, FrameStatus::FrameComplete);
    settle(s);
    EXPECT_TRUE(s->isStreaming.get());
    EXPECT_NE(s->screenImage(), second); // frames are taken again
    s->releaseStream();
    settle(s);
}

TEST_F(DisplayStreamerTest, SnapshotsAreScaledToTheOutputSizeAndThoseThatMayWaitComeLater) {
    env.displays().setArrangement(fixture::parseArrangement(R"({"displays": [
        {"id": 1, "name": "Retina", "bounds": [0, 0, 1512, 982], "main": true, "pixelsPerPoint": 2}]})"));
    auto s = make(1, 4);
    s->captureScreenshot();
    ASSERT_TRUE(s->screenImage());
    EXPECT_EQ(s->screenImage()->surface()->width(), 3024);
    EXPECT_EQ(s->screenImage()->extent(), Rect(0, 0, 378, 245.5));

    // A waiting snapshot: blank at once, replaced when it comes unless a frame came first.
    std::promise<void> open;
    env.displays().holdSnapshots(open.get_future().share());
    int arrived = 0;
    ScopedConnection c = s->snapshotArrived.connect([&] { ++arrived; });
    LogCapture log;
    const auto dropped = [&] {
        const auto lines = log.messages(LogLevel::Debug);
        return int(std::count(lines.begin(), lines.end(), "A screenshot of Retina came after a newer picture"));
    };
    const auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 1000 && !done(); ++i) {
            FixtureEnvironment::drainMain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    s->captureScreenshot();
    const auto blank = s->screenImage();
    ASSERT_TRUE(blank);
    EXPECT_EQ(blank->extent().width, 378);
    EXPECT_NE(blank->surface()->width(), 3024);
    open.set_value();
    ASSERT_TRUE(waitFor([&] { return arrived == 1; }));
    EXPECT_EQ(s->screenImage()->surface()->width(), 3024);
    EXPECT_EQ(s->screenImage()->extent(), Rect(0, 0, 378, 245.5));

    std::promise<void> twice;
    env.displays().holdSnapshots(twice.get_future().share());
    s->captureScreenshot();
    s->captureScreenshot(); // only the newer one is placed
    twice.set_value();
    EXPECT_TRUE(waitFor([&] { return arrived == 2 && dropped() == 1; }));

    std::promise<void> late;
    env.displays().holdSnapshots(late.get_future().share());
    s->captureScreenshot();
    s->start(false);
    env.capture().emit(1, FrameStatus::FrameComplete);
    settle(s);
    const auto frame = s->screenImage();
    late.set_value();
    EXPECT_TRUE(waitFor([&] { return dropped() == 2; }));
    EXPECT_EQ(arrived, 2);
    EXPECT_EQ(s->screenImage(), frame);
    s->releaseStream();
    settle(s);
}

TEST_F(DisplayStreamerTest, TheStreamKeepsItsStreamerAliveUntilReleased) {
    auto s = make();
    s->start(false);
    const std::weak_ptr<DisplayStreamer> weak = std::exchange(s, nullptr);
    auto alive = weak.lock();
    ASSERT_TRUE(alive);
    const auto queue = alive->streamQueue();
    alive->releaseStream();
    alive.reset();
    FixtureEnvironment::settle(*queue); // the final stopped update may still be on its way
    EXPECT_TRUE(weak.expired());
}

TEST_F(DisplayStreamerTest, LiveFramesUnderLoadAreSafe) {
    // Also run under ThreadSanitizer.
    FixtureEnvironment live(kLaptop, 500);
    auto s = std::make_shared<DisplayStreamer>(Display(1), true, 8);
    for (int round = 0; round < 20; ++round) {
        s->start(false);
        for (int i = 0; i < 20; ++i) {
            if (auto img = s->flippedScreenImage())
                EXPECT_EQ(img->extent(), Rect(0, 0, 189, 122));
            FixtureEnvironment::drainMain();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        s->stop();
    }
    s->releaseStream();
    FixtureEnvironment::drainMain();
}

TEST(FrameDelivery, ClosingWaitsForAHandlerCallInFlightAndDropsEverythingQueued) {
    auto queue = std::make_shared<DispatchQueue>("delivery");
    std::promise<void> entered;
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    auto delivery = std::make_unique<FrameDelivery>(queue, [&](FrameStatus, FrameSurfacePtr) {
        if (calls++ == 0) {
            entered.set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            finished = true;
        }
    });
    delivery->post(FrameStatus::FrameIdle, nullptr);
    delivery->post(FrameStatus::FrameBlank, nullptr); // queued behind the first: never delivered
    entered.get_future().wait();
    delivery->close();
    EXPECT_TRUE(finished.load()); // the destroyed stream's handler is not still running
    delivery->post(FrameStatus::FrameIdle, nullptr);
    queue->sync([] {});
    EXPECT_EQ(calls.load(), 1);

    // A streamer released by its last frame closes from the handler's own queue.
    std::unique_ptr<FrameDelivery> self;
    self = std::make_unique<FrameDelivery>(queue, [&](FrameStatus, FrameSurfacePtr) { self->close(); });
    self->post(FrameStatus::FrameIdle, nullptr);
    queue->sync([] {});
}

TEST(FramePool, RepeatedPicturesAreNotNewAndHeldSurfacesAreNeverReused) {
    FramePool pool(4, 2, 2);
    const auto fill = [](FrameSurface& s, std::uint32_t colour, bool marked) {
        for (int y = 0; y < s.height(); ++y)
            for (int x = 0; x < s.width(); ++x)
                s.mutableRow(y)[x] = colour;
        if (marked)
            s.mutableRow(1)[3] = colour + 1; // one channel of one pixel
    };
    auto first = pool.take();
    fill(*first, 0xFF102030u, false);
    EXPECT_TRUE(pool.isNewPicture(first));
    FrameSurfacePtr held = std::exchange(first, nullptr); // the viewer keeps the delivered frame

    auto same = pool.take();
    EXPECT_NE(same.get(), held.get());
    fill(*same, 0xFF102030u, false);
    EXPECT_FALSE(pool.isNewPicture(same));
    fill(*same, 0xFF102030u, true);
    EXPECT_TRUE(pool.isNewPicture(same));
    held = std::exchange(same, nullptr); // delivered, and held

    auto reused = pool.take();
    EXPECT_EQ(reused->pixel(0, 0), 0xFF102030u);
    fill(*reused, 0xFF102030u, true);
    EXPECT_FALSE(pool.isNewPicture(reused));
    pool.forgetLastPicture(); // a stream that starts again delivers its first frame whatever it shows
    EXPECT_TRUE(pool.isNewPicture(reused));
}
