#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"
#include "tests/support/Processes.h"

#include "Foundation/MainQueue.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>

using namespace overlook;
using namespace overlook::test;

namespace {

std::string writer(const TempSettings& env, const std::string& suite, const std::string& args) {
    return std::string(SETTINGS_WRITER) + " " + env.dir().string() + " " + suite + " " + args;
}

} // namespace

TEST(MultiProcess, AnotherProcessesWriteReachesObserversOnTheMainQueue) {
    TempSettings env;
    auto store = UserDefaults::open(env.dir(), "shared");
    store->set("mine", 1);
    ASSERT_TRUE(store->synchronize());
    using Seen = std::tuple<bool, std::optional<PropertyList>, std::optional<PropertyList>, std::thread::id>;
    std::vector<Seen> seen; // prior, old, new, the thread it came on
    store->addObserver("theirs", ObservingOptions::Old | ObservingOptions::New | ObservingOptions::Prior,
                       [&](const StoreChange& c) {
                           seen.emplace_back(c.isPrior, c.oldValue, c.newValue, std::this_thread::get_id());
                       });
    const auto drainUntil = [](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            manualMainQueue().drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    ASSERT_EQ(exitStatusWithin(spawn(writer(env, "shared", "set theirs 42"), {}), 10000), 0);
    drainUntil([&] { return seen.size() >= 2; });
    const auto main = std::this_thread::get_id();
    EXPECT_EQ(seen, (std::vector<Seen>{{true, std::nullopt, std::nullopt, main}, {false, std::nullopt, 42, main}}));
    EXPECT_EQ(store->object("theirs"), PropertyList(42));
    EXPECT_EQ(store->object("mine"), PropertyList(1)); // the other process kept our key

    // A key both hold: the newer write on disk wins, ours is not written back over it.
    ASSERT_EQ(exitStatusWithin(spawn(writer(env, "shared", "set mine 2"), {}), 10000), 0);
    drainUntil([&] { return store->object("mine") == PropertyList(2); });
    EXPECT_EQ(store->object("mine"), PropertyList(2));
    ASSERT_TRUE(store->synchronize());
    EXPECT_EQ(env.onDisk("shared").at("mine"), PropertyList(2));
}

TEST(MultiProcess, ConcurrentWritersNeverLoseEachOthersKeys) {
    TempSettings env;
    auto store = UserDefaults::open(env.dir(), "merge");
    const pid_t a = spawn(writer(env, "merge", "keys a 40"), {});
    const pid_t b = spawn(writer(env, "merge", "keys b 40"), {});
    for (int i = 0; i < 40; ++i) {
        store->set("c" + std::to_string(i), i);
        ASSERT_TRUE(store->synchronize());
    }
    EXPECT_EQ(exitStatusWithin(a, 30000), 0);
    EXPECT_EQ(exitStatusWithin(b, 30000), 0);
    const auto onDisk = env.onDisk("merge");
    EXPECT_EQ(onDisk.size(), 120u);
    for (const char* prefix : {"a", "b", "c"})
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(onDisk.count(prefix + std::to_string(i)), 1u) << prefix << i;
}

TEST(MultiProcess, AWriterKilledAtAnyMomentLeavesEveryDurableWrite) {
    TempSettings env;
    std::mt19937 random(12345);
    long long totalAcknowledged = 0;
    for (int round = 0; round < 20; ++round) {
        const auto acks = env.dir().parent_path() / "acks"; // after each durable write its number
        const pid_t child = spawn(writer(env, "crash", "loop"), {}, acks);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 120)(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        std::istringstream printed(readFile(acks));
        long long last = 0;
        for (long long n; printed >> n;)
            last = n;
        totalAcknowledged += last;

        if (!std::filesystem::exists(env.file("crash"))) {
            EXPECT_EQ(last, 0);
            continue;
        }
        const auto onDisk = env.onDisk("crash");
        ASSERT_EQ(onDisk.count("counter"), 1u) << "round " << round;
        const auto counter = *onDisk.at("counter").get<std::int64_t>();
        EXPECT_GE(counter, last) << "round " << round;
        for (long long j = std::max(1LL, last - 63); j <= last; ++j) {
            const auto slot = onDisk.find("slot" + std::to_string(j % 64));
            ASSERT_NE(slot, onDisk.end());
            EXPECT_GE(*slot->second.get<std::int64_t>(), j);
        }
        std::filesystem::remove(env.file("crash"));
    }
    EXPECT_GT(totalAcknowledged, 0);
    // What the killed writers left half-written goes when the suite is next opened.
    auto store = UserDefaults::open(env.dir(), "crash");
    for (const auto& entry : std::filesystem::directory_iterator(env.dir()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("crash.plist.tmp-")) << entry.path();
}
