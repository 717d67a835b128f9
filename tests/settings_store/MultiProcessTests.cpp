// Real second processes writing the same suite: observers see their changes, no
// writer loses another's keys, and a writer killed at any moment leaves a file that
// parses and holds everything it had made durable.

#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"

#include "Foundation/MainQueue.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace overlook;
using overlook::test::TempSettings;

namespace {

// Starts the writer with `args`; its standard output goes to `*stdoutFd` when given.
pid_t spawn(const std::vector<std::string>& args, int* stdoutFd = nullptr) {
    int pipeFds[2] = {-1, -1};
    if (stdoutFd)
        EXPECT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (stdoutFd)
            ::dup2(pipeFds[1], 1);
        std::vector<char*> argv{const_cast<char*>(SETTINGS_WRITER)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(SETTINGS_WRITER, argv.data());
        ::_exit(127);
    }
    if (stdoutFd) {
        ::close(pipeFds[1]);
        *stdoutFd = pipeFds[0];
    }
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(MultiProcess, AnotherProcessesWriteReachesObserversOnTheMainQueue) {
    TempSettings env;
    auto store = UserDefaults::open(env.dir(), "shared");
    store->set("mine", 1);
    ASSERT_TRUE(store->synchronize());
    std::vector<StoreChange> seen;
    std::vector<std::thread::id> threads;
    store->addObserver("theirs", ObservingOptions::Old | ObservingOptions::New | ObservingOptions::Prior,
                       [&](const StoreChange& c) {
                           seen.push_back(c);
                           threads.push_back(std::this_thread::get_id());
                       });
    ASSERT_EQ(waitExit(spawn({env.dir().string(), "shared", "set", "theirs", "42"})), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        manualMainQueue().drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].isPrior);
    EXPECT_FALSE(seen[1].isPrior);
    EXPECT_FALSE(seen[1].oldValue);
    EXPECT_EQ(seen[1].newValue, PropertyList(42));
    EXPECT_EQ(threads[1], std::this_thread::get_id());
    EXPECT_EQ(store->object("theirs"), PropertyList(42));
    EXPECT_EQ(store->object("mine"), PropertyList(1)); // the other process kept our key
}

TEST(MultiProcess, ConcurrentWritersNeverLoseEachOthersKeys) {
    TempSettings env;
    auto store = UserDefaults::open(env.dir(), "merge");
    const pid_t a = spawn({env.dir().string(), "merge", "keys", "a", "40"});
    const pid_t b = spawn({env.dir().string(), "merge", "keys", "b", "40"});
    for (int i = 0; i < 40; ++i) {
        store->set("c" + std::to_string(i), i);
        ASSERT_TRUE(store->synchronize());
    }
    EXPECT_EQ(waitExit(a), 0);
    EXPECT_EQ(waitExit(b), 0);
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
        int out = -1;
        const pid_t child = spawn({env.dir().string(), "crash", "loop"}, &out);
        FILE* acks = ::fdopen(out, "r");
        // Let it run for a random while, then kill it without warning.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 120)(random)));
        ::kill(child, SIGKILL);
        long long last = 0;
        for (long long n; std::fscanf(acks, "%lld", &n) == 1;)
            last = n;
        std::fclose(acks);
        ::waitpid(child, nullptr, 0);
        totalAcknowledged += last;

        if (!std::filesystem::exists(env.file("crash"))) {
            EXPECT_EQ(last, 0);
            continue;
        }
        const auto onDisk = env.onDisk("crash");
        ASSERT_EQ(onDisk.count("counter"), 1u) << "round " << round;
        const auto counter = *onDisk.at("counter").get<std::int64_t>();
        // Each round's child starts counting at 1 again; what it acknowledged is there.
        EXPECT_GE(counter, last) << "round " << round;
        for (long long j = std::max(1LL, last - 63); j <= last; ++j) {
            const auto slot = onDisk.find("slot" + std::to_string(j % 64));
            ASSERT_NE(slot, onDisk.end());
            EXPECT_GE(*slot->second.get<std::int64_t>(), j);
        }
        // Start the next round from a clean slate so that its numbers are its own.
        std::filesystem::remove(env.file("crash"));
    }
    EXPECT_GT(totalAcknowledged, 0);
    // What the killed writers left half-written goes when the suite is next opened.
    auto store = UserDefaults::open(env.dir(), "crash");
    for (const auto& entry : std::filesystem::directory_iterator(env.dir()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("crash.plist.tmp-")) << entry.path();
}
