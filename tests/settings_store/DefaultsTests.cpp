#include "settings_store/Defaults.h"
#include "settings_store/DefaultsObservation.h"
#include "tests/settings_store/TempSettings.h"

#include "Foundation/MainQueue.h"

#include <thread>

using namespace overlook;
using overlook::test::TempSettings;
template <class T>
using Key = Defaults::Key<T>;

namespace {

struct DefaultsTest : testing::Test {
    TempSettings env;
    std::shared_ptr<UserDefaults> suite = UserDefaults::open(env.dir(), "keys");
};
using ObservationTest = DefaultsTest;

} // namespace

TEST_F(DefaultsTest, NativeValuesAreStoredAsThemselvesAndReadWithExactConversions) {
    Key<bool> flag("flag", false, suite);
    Key<double> ratio("ratio", 0.5, suite);
    EXPECT_EQ(suite->object("ratio"), PropertyList(0.5)); // registered at creation
    flag.set(true);
    ratio.set(0.25);
    EXPECT_EQ(suite->object("flag"), PropertyList(true));
    EXPECT_EQ(suite->object("ratio"), PropertyList(0.25));
    suite->set("flag", "true");
    EXPECT_TRUE(flag.get());
    // Text is read as JSON; what does not convert reads as the default.
    for (const auto& [stored, expected] : std::vector<std::pair<PropertyList, double>>{
             {"0.75", 0.75}, {3, 3.0}, {"0.75 of it", 0.5}, {PropertyList::Array{}, 0.5}}) {
        suite->set("ratio", stored);
        EXPECT_EQ(ratio.get(), expected) << stored.describe();
    }
}

TEST_F(ObservationTest, ObservableAnnouncesOnTheMainThreadBeforeTheValueChanges) {
    manualMainQueue().drain();
    Key<int> key{"level", 1, suite};
    Defaults::Observable<int> observable(key);
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
    auto shortLived = std::make_unique<Defaults::Observable<int>>(key);
    bool fired = false;
    ScopedConnection c2 = shortLived->objectWillChange.connect([&] { fired = true; });
    std::thread([&] { key.set(4); }).join();
    shortLived.reset();
    manualMainQueue().drain();
    EXPECT_FALSE(fired);
}
