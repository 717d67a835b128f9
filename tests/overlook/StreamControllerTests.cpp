#include "Overlook/StreamController.h"
#include "tests/support/FixtureEnvironment.h"

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::test;

namespace {

// Platform order differs from unit-number order on purpose.
const std::string kThree = arrangementJson({displayJson(10, 2, "Right", 1920, 0, 1920, 1080),
                                            displayJson(11, 0, "Main", 0, 0, 1920, 1080, true),
                                            displayJson(12, 1, "Left", -1280, 0, 1280, 1024)});

std::vector<std::string> names(const std::vector<DisplayStreamerPtr>& list) {
    std::vector<std::string> out;
    for (const auto& s : list)
        out.push_back(s->display().localizedName);
    return out;
}

class StreamControllerTest : public ::testing::Test {
protected:
    FixtureEnvironment env{kThree};
    ~StreamControllerTest() override {
        for (const auto& c : controllers)
            for (const auto& s : c->streams.get())
                s->releaseStream();
    }
    std::shared_ptr<StreamController> make(bool hideMain = false, double scale = 4) {
        controllers.push_back(std::make_shared<StreamController>(hideMain, scale));
        return controllers.back();
    }
    std::vector<std::shared_ptr<StreamController>> controllers;
};

} // namespace

TEST_F(StreamControllerTest, StartAndStopAllVisitVisibleStreamsByUnitNumber) {
    auto c = make(true);
    bool announced = false;
    ScopedConnection conn = c->objectWillChange.connect([&] { announced = true; });
    c->startAll();
    EXPECT_TRUE(announced);
    const auto created = env.capture().createdStreams();
    ASSERT_EQ(created.size(), 2u); // hidden main display untouched
    EXPECT_EQ(std::pair(created[0].display, created[1].display), std::pair(DisplayID{12}, DisplayID{10}));
    EXPECT_EQ(std::pair(created[0].width, created[0].height), (std::pair<std::int64_t, std::int64_t>(320, 256)));
    c->stopAll();
    for (const auto& s : c->streams.get())
        EXPECT_FALSE(s->isStreaming.get());
}

TEST_F(StreamControllerTest, OnlyAHiddenMainDisplayLeavesNothingToStartAndContentSize) {
    env.displays().setArrangement(fixture::parseArrangement(arrangementJson({displayJson(1, 0, "Solo", 0, 0, 1920, 1080, true)})));
    auto c = make(true);
    EXPECT_TRUE(c->visibleStreams().empty());
    c->startAll();
    EXPECT_FALSE(c->streams.get()[0]->isStreaming.get());
    EXPECT_EQ(env.capture().createdStreams().size(), 0u);
    // No visible stream: a 16:9 picture plus the strip, never NaN.
    EXPECT_EQ(c->contentSize(600, 30), (Size{600, 367.5}));
    auto a = make(false, 4), b = make(false, 4);
    EXPECT_TRUE(*a == *b);
    a->toggleVisibility(a->streams.get()[0]);
    EXPECT_FALSE(*a == *b);
}

TEST_F(StreamControllerTest, ToggleVisibilityHidesAndStopsButShowingDoesNotStart) {
    auto c = make();
    auto main = c->streams.get()[1];
    main->start(false);
    c->toggleVisibility(main);
    EXPECT_FALSE(main->isVisible.get());
    EXPECT_FALSE(main->isStreaming.get());
    c->toggleVisibility(main);
    EXPECT_TRUE(main->isVisible.get());
    EXPECT_FALSE(main->isStreaming.get());
}

TEST_F(StreamControllerTest, HideAllMatchesByDisplayIdAcrossControllers) {
    auto a = make(), b = make();
    auto streamingHidden = a->streams.get()[0];
    streamingHidden->start(false);
    a->hideAll(*b->streams.get()[2]); // "Left" of another controller
    EXPECT_EQ(names(a->visibleStreams()), std::vector<std::string>{"Left"});
    // Hidden while streaming: it keeps streaming, and stopAll does not visit it.
    a->stopAll();
    EXPECT_TRUE(streamingHidden->isStreaming.get());

    Display stranger;
    stranger.id = 99;
    DisplayStreamer other(stranger, true, 4);
    a->hideAll(other);
    EXPECT_TRUE(a->visibleStreams().empty());
}

TEST_F(StreamControllerTest, StreamingStateRoundTrips) {
    auto c = make();
    c->streams.get()[0]->start(false);
    c->streams.get()[2]->start(false);
    const auto saved = c->streamingState();
    EXPECT_EQ(saved, (std::map<DisplayID, bool>{{10, true}, {11, false}, {12, true}}));
    c->stopAll();
    c->restoreStreamingState(saved);
    EXPECT_EQ(c->streamingState(), saved);

    // An unchanged display keeps its stream, a new one plays along with the others.
    const DisplayStreamerPtr kept = c->streams.get()[0];
    env.displays().setArrangement(fixture::parseArrangement(
        arrangementJson({displayJson(10, 2, "Right", 1920, 0, 1920, 1080), displayJson(11, 0, "Main", 0, 0, 1920, 1080, true),
                         displayJson(13, 3, "New", 3840, 0, 1280, 1024)})));
    c->followDisplays(Display::activeDisplays(), false, 4);
    EXPECT_EQ(names(c->streams.get()), (std::vector<std::string>{"Right", "Main", "New"}));
    EXPECT_EQ(c->streams.get()[0], kept);
    EXPECT_EQ(c->streamingState(), (std::map<DisplayID, bool>{{10, true}, {11, false}, {13, true}}));
}

TEST_F(StreamControllerTest, FactoryReadsTheStore) {
    InMemoryDefaultsStore store;
    store.set("hideMainDisplay", true);
    store.set("scale", 2.0);
    store.set("autoPlay", std::string("YES"));
    auto c = makeStreamController(store);
    controllers.push_back(c);
    EXPECT_EQ(c->streams.get()[0]->scale(), 2.0);
    EXPECT_FALSE(c->streams.get()[1]->isVisible.get());
    EXPECT_TRUE(c->streams.get()[0]->isStreaming.get());
    EXPECT_FALSE(c->streams.get()[1]->isStreaming.get());
}
