#include "settings_store/DefaultsObservation.h"
#include "tests/settings_store/TempSettings.h"

#include "Foundation/MainQueue.h"

#include <thread>

using namespace overlook;
using namespace overlook::Defaults;
using overlook::test::TempSettings;

namespace {

struct ObservationTest : testing::Test {
    TempSettings env;
    std::shared_ptr<UserDefaults> suite = UserDefaults::open(env.dir(), "observed");
    Key<int> key{"level", 1, suite};
    std::vector<KeyChange<int>> changes;
    std::function<void(const KeyChange<int>&)> record = [this](const KeyChange<int>& c) { changes.push_back(c); };
    void SetUp() override { manualMainQueue().drain(); }
    std::vector<int> newValues() const {
        std::vector<int> values;
        for (const auto& c : changes)
            values.push_back(c.newValue);
        return values;
    }
};

} // namespace

TEST_F(ObservationTest, InitialDeliversTheCurrentValueAndWinsOverPrior) {
    auto observation = observe(key, {ObservationOption::initial, ObservationOption::prior}, record);
    const KeyChange<int> initial{StoreChange::kSetting, std::nullopt, false, 1, 1}; // nothing stored: the default
    EXPECT_EQ(changes, std::vector{initial});
    key.set(5); // no prior change
    EXPECT_EQ(changes, (std::vector{initial, KeyChange<int>{StoreChange::kSetting, std::nullopt, false, 5, 1}}));

    auto withPrior = observe(key, {ObservationOption::prior}, record);
    changes.clear();
    key.set(6);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(std::count_if(changes.begin(), changes.end(), [](auto& c) { return c.isPrior; }), 1);
}

TEST_F(ObservationTest, ResetsAndDirectWritesAreTypedChangesWithTheDefaultStandingIn) {
    auto observation = observe(key, {}, record);
    key.set(3);
    key.reset();
    suite->set("level", "not a number");
    suite->set("level", 9);
    EXPECT_EQ(newValues(), (std::vector<int>{3, 1, 1, 9}));
    EXPECT_EQ(changes[1].oldValue, 3);
    observation->invalidate();
    key.set(4);
    EXPECT_EQ(changes.size(), 4u);
}

TEST_F(ObservationTest, WithoutPropagationHidesChangesOfThisThreadOnly) {
    auto observation = observe(key, {}, record);
    withoutPropagation([&] {
        key.set(2);
        std::thread([&] { key.set(3); }).join();
    });
    key.set(4);
    EXPECT_EQ(newValues(), (std::vector<int>{3, 4}));
}

TEST_F(ObservationTest, LifetimeTiesEndObservationsWithTheirOwner) {
    auto owner = std::make_unique<LifetimeOwner>();
    observe(key, {}, record)->tieToLifetime(*owner); // kept alive by the tie alone
    key.set(2);
    EXPECT_EQ(changes.size(), 1u);
    owner.reset();
    key.set(3);
    EXPECT_EQ(changes.size(), 1u);

    auto keeper = std::make_unique<LifetimeOwner>();
    auto observation = observe(key, {}, record);
    observation->tieToLifetime(*keeper);
    observation->removeLifetimeTie();
    keeper.reset();
    key.set(4);
    EXPECT_EQ(changes.size(), 2u);
}

TEST_F(ObservationTest, CompositeObservationFollowsKeysOfSeveralSuites) {
    auto otherSuite = UserDefaults::open(env.dir(), "other");
    Key<std::string> name("name", "", otherSuite);
    int calls = 0;
    auto observation = observe({&key, &name}, {ObservationOption::initial}, [&] { ++calls; });
    EXPECT_EQ(calls, 2);
    key.set(2);
    name.set("x");
    otherSuite->set("level", 5); // same name, other suite: not observed
    EXPECT_EQ(calls, 4);
    observation.reset();
    key.set(3);
    EXPECT_EQ(calls, 4);
}

TEST_F(ObservationTest, PublishersDeliverEveryChangeToSubscribersThatHoldTheirSubscription) {
    Cancellable held;
    std::vector<bool> heldAtDelivery;
    auto subscription = publisher(key, {ObservationOption::initial}).sink(
        [&](const KeyChange<int>& c) { heldAtDelivery.push_back(held != nullptr); changes.push_back(c); },
        [&](const Cancellable& s) { held = s; });
    key.set(7);
    EXPECT_EQ(newValues(), (std::vector<int>{1, 7}));
    EXPECT_EQ(heldAtDelivery, (std::vector<bool>{true, true}));
    subscription->cancel();
    key.set(8);
    EXPECT_EQ(changes.size(), 2u);

    Key<bool> flag("flag", false, suite);
    int events = 0;
    auto merged = publisher({&key, &flag}).sink([&] { ++events; });
    key.set(1);
    flag.set(true);
    EXPECT_EQ(events, 2);
}

TEST_F(ObservationTest, ObservableAnnouncesOnTheMainThreadBeforeTheValueChanges) {
    Observable<int> observable(key);
    std::vector<int> valueAtSignal;
    ScopedConnection connection = observable.objectWillChange.connect([&] { valueAtSignal.push_back(key.get()); });
    suite->set("level", 2); // a direct write by name, on the main thread
    ASSERT_EQ(valueAtSignal, std::vector<int>{1});
    EXPECT_EQ(observable.value(), 2);

    std::thread([&] { key.set(3); }).join();
    EXPECT_EQ(valueAtSignal.size(), 1u); // hops to the main queue
    manualMainQueue().drain();
    EXPECT_EQ(valueAtSignal.size(), 2u);

    // A hop still queued when the observable goes does nothing.
    auto shortLived = std::make_unique<Observable<int>>(key);
    bool fired = false;
    ScopedConnection c2 = shortLived->objectWillChange.connect([&] { fired = true; });
    std::thread([&] { key.set(4); }).join();
    shortLived.reset();
    manualMainQueue().drain();
    EXPECT_FALSE(fired);
}

TEST_F(ObservationTest, InvalidatingDuringTheInitialDeliveryUnregisters) {
    Key<int> other{"other", 0, suite};
    int calls = 0;
    std::shared_ptr<UserDefaultsKeyObservation> single;
    single = std::make_shared<UserDefaultsKeyObservation>(suite, key.name(),
                                                          [&](const BaseChange&) { ++calls; single->invalidate(); });
    single->start({ObservationOption::initial});
    EXPECT_EQ(suite->observerCount(key.name()), 0u);

    std::shared_ptr<CompositeUserDefaultsKeyObservation> composite;
    composite = std::make_shared<CompositeUserDefaultsKeyObservation>(
        std::vector<SuiteKeyPair>{{suite, key.name()}, {suite, other.name()}},
        [&](const BaseChange&) { ++calls; composite->invalidate(); });
    composite->start({ObservationOption::initial});
    EXPECT_EQ(suite->observerCount(key.name()) + suite->observerCount(other.name()), 0u);

    Cancellable subscription = DefaultsPublisher{suite, key.name(), {ObservationOption::initial}}.subscribe(
        [&](const BaseChange&) { ++calls; subscription->cancel(); }, [&](const Cancellable& s) { subscription = s; });
    EXPECT_EQ(suite->observerCount(key.name()), 0u);

    EXPECT_EQ(calls, 3); // one initial delivery each, and nothing after
    key.set(5);
    other.set(5);
    EXPECT_EQ(calls, 3);
}
