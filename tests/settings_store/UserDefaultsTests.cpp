#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"

#include "Foundation/Logger.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace overlook;
using overlook::test::TempSettings;
using Dict = PropertyList::Dictionary;
using Array = PropertyList::Array;

namespace {

std::vector<std::filesystem::path> corruptCopies(const TempSettings& env, const std::string& suite) {
    std::vector<std::filesystem::path> found;
    if (std::filesystem::exists(env.dir()))
        for (const auto& entry : std::filesystem::directory_iterator(env.dir()))
            if (entry.path().filename().string().starts_with(suite + ".plist.corrupt-"))
                found.push_back(entry.path());
    return found;
}

} // namespace

TEST(PropertyList, EqualityIsExactKindsAreDistinctAndNestingIsBounded) {
    EXPECT_NE(PropertyList(1), PropertyList(1.0));
    EXPECT_NE(PropertyList(1), PropertyList(true));
    EXPECT_NE(PropertyList("1"), PropertyList(1));
    EXPECT_NE(PropertyList(Data{}), PropertyList(""));
    EXPECT_NE(PropertyList(Array{1, "a"}), PropertyList(Array{"a", 1}));

    const auto nested = [](int levels) {
        PropertyList v = 1;
        for (int i = 0; i < levels; ++i)
            v = Array{v};
        return v;
    };
    EXPECT_FALSE(unstorableReason(nested(128)));
    EXPECT_TRUE(unstorableReason(nested(129)));
    EXPECT_TRUE(parsePropertyList(toXml({{"k", nested(127)}})).value);
    EXPECT_NE(parsePropertyList(toXml({{"k", nested(128)}})).error.find("nesting deeper than 128"), std::string::npos);
}

TEST(UserDefaults, EveryKindRoundTripsThroughTheFile) {
    TempSettings env;
    const Dict everyKind{
        {"bool", true}, {"false", false}, {"int", std::int64_t{-9007199254740993}},
        {"max", std::numeric_limits<std::int64_t>::max()}, {"real", 0.7843137254901961}, {"tiny", 5e-324},
        {"string", "naïve € 🖥 <tag> & \"quotes\"\ttab\nline\r"}, {"empty", ""}, {"data", Data{0, 1, 2, 255, 0}},
        {"date", Date{-1000000000}}, {"array", Array{1, 2.5, "x", Array{}, Dict{}}},
        {"dict", Dict{{"nested", Dict{{"deep", Date{1700000000}}}}, {"", "empty key"}}},
    };
    {
        auto store = UserDefaults::suite("roundtrip");
        for (const auto& [key, value] : everyKind)
            ASSERT_TRUE(store->set(key, value)) << key;
        ASSERT_TRUE(store->synchronize());
    }
    EXPECT_EQ(UserDefaults::suite("roundtrip")->persistentDomain(), everyKind); // a fresh instance reads the file
    EXPECT_NE(TempSettings::read(env.file("roundtrip")).find("<plist version=\"1.0\">"), std::string::npos);
}

TEST(UserDefaults, RefusesValuesItCannotStoreAndKeepsWhatItHad) {
    TempSettings env;
    LogCapture logs;
    auto store = UserDefaults::suite("refusals");
    ASSERT_TRUE(store->set("kept", "before"));
    for (const auto& [key, value] : std::vector<std::pair<std::string, PropertyList>>{
             {"kept", "control \x01 character"}, {"kept", std::string("bad utf8 \xC3\x28")},
             {"kept", Date{std::int64_t{1} << 40}}, {"kept", Array{1, Dict{{"x", std::string("\xFF")}}}},
             {"kept", std::numeric_limits<double>::infinity()}, {std::string("key \x02"), 1}}) {
        const StoreResult result = store->set(key, value);
        EXPECT_NE(result.error.find("cannot store"), std::string::npos) << result.error;
    }
    EXPECT_EQ(store->object("kept"), PropertyList("before"));
    ASSERT_TRUE(store->synchronize());
    EXPECT_EQ(env.onDisk("refusals"), (Dict{{"kept", "before"}}));
    EXPECT_FALSE(logs.messages(LogLevel::Error).empty());

    // The write that would pass the size a file is read back at is refused; earlier ones stay.
    // `other` stands for another process, which opened the file before it filled up.
    std::filesystem::create_directory_symlink(env.dir(), env.dir().parent_path() / "alias");
    const auto other = UserDefaults::open(env.dir().parent_path() / "alias", "refusals");
    ASSERT_NE(other, store);
    ASSERT_EQ(other->object("kept"), PropertyList("before"));
    const std::string block(130000, 'x');
    int stored = 0;
    StoreResult full;
    while (stored < 80 && (full = store->set("big" + std::to_string(stored), block)))
        ++stored;
    EXPECT_EQ(stored, 64);
    EXPECT_NE(full.error.find("more than the 8388608 a settings file may hold"), std::string::npos) << full.error;
    ASSERT_TRUE(store->synchronize());
    EXPECT_LE(std::filesystem::file_size(env.file("refusals")), UserDefaults::kMaximumFileSize);
    EXPECT_EQ(env.onDisk("refusals").size(), 65u);
    ASSERT_TRUE(other->set("theirs", block)); // fits alone, not merged with what is on disk
    EXPECT_FALSE(other->synchronize());
    EXPECT_EQ(env.onDisk("refusals").size(), 65u);
    EXPECT_TRUE(corruptCopies(env, "refusals").empty());
}

TEST(UserDefaults, RegisteredDefaultsAnswerReadsButAreNeverWrittenAndGettersConvert) {
    TempSettings env;
    auto store = UserDefaults::suite("registration");
    store->registerDefaults({{"scale", 4.0}, {"flag", true}});
    EXPECT_EQ(store->object("scale"), PropertyList(4.0));
    EXPECT_FLOAT_EQ(store->floatForKey("scale"), 4.0f);
    EXPECT_TRUE(store->boolForKey("flag"));
    store->set("scale", 2);
    EXPECT_EQ(store->doubleForKey("scale"), 2.0);
    store->removeObject("scale");
    EXPECT_EQ(store->object("scale"), PropertyList(4.0));
    store->set("other", "x");
    ASSERT_TRUE(store->synchronize());
    EXPECT_EQ(env.onDisk("registration"), (Dict{{"other", "x"}}));
    EXPECT_EQ(store->dictionaryRepresentation().count("scale"), 1u);
    EXPECT_EQ(store->persistentDomain().count("scale"), 0u);

    for (const auto& [value, expected] : std::vector<std::pair<PropertyList, bool>>{
             {true, true}, {false, false}, {1, true}, {0, false}, {0.5, true}, {"YES", true}, {"true", true},
             {"1", true}, {"yes", true}, {"no", false}, {"0", false}, {"", false}, {Data{1}, false}, {Array{1}, false}}) {
        store->set("b", value);
        EXPECT_EQ(store->boolForKey("b"), expected) << value.describe();
    }
    EXPECT_FALSE(store->boolForKey("missing"));
    EXPECT_EQ(store->floatForKey("missing"), 0.0f);
    store->set("n", "4.5");
    EXPECT_EQ(store->floatForKey("n"), 4.5f);
    EXPECT_EQ(store->integerForKey("n"), 4);
    store->set("n", "4.5 apples");
    EXPECT_EQ(store->floatForKey("n"), 0.0f);
    store->set("n", 1e300);
    EXPECT_EQ(store->integerForKey("n"), 0); // out of range reads 0, never overflows
    store->set("n", true);
    EXPECT_EQ(store->floatForKey("n"), 1.0f);
}

TEST(UserDefaults, ABurstOfWritesCostsOneFileWrite) {
    TempSettings env;
    auto store = UserDefaults::suite("burst");
    store->setCoalescingDelay(std::chrono::milliseconds(300));
    std::filesystem::create_directories(env.dir());
    const int fd = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(fd, 0);
    inotify_add_watch(fd, env.dir().c_str(), IN_MOVED_TO);
    for (int i = 0; i < 200; ++i)
        store->set("counter", i);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200)); // written once, after the delay, unasked
    int renames = 0;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        for (ssize_t off = 0; off < n;) {
            auto* ev = reinterpret_cast<inotify_event*>(buf + off);
            renames += ev->len && std::string(ev->name) == "burst.plist";
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    ::close(fd);
    EXPECT_EQ(renames, 1);
    EXPECT_EQ(env.onDisk("burst"), (Dict{{"counter", 199}}));
}

TEST(UserDefaults, UnreadableFilesAreMovedAsideAndTheSuiteStartsFromItsDefaults) {
    TempSettings env;
    std::string randomBytes(65536, '\0'); // many '<' and few '</': once taken for deep nesting
    std::uint32_t x = 2463534242u;
    for (char& c : randomBytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    randomBytes[0] = 'R';
    struct Case {
        std::string what, said;
        std::optional<std::string> bytes; // the file's contents, or else `make` makes it
        std::function<void(const std::filesystem::path&)> make = {};
    };
    for (const Case& c : std::vector<Case>{
             {"truncated", "is corrupt", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n\t<key>a</key>\n\t<integer>1"},
             {"not XML", "is corrupt", "this is not a property list at all"},
             {"random bytes", "is corrupt (not a property list", randomBytes},
             {"wrong root", "is corrupt", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1</integer></array></plist>"},
             {"empty", "is corrupt", ""},
             {"a FIFO", "a FIFO", std::nullopt, [](const auto& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
             {"a character device", "a character device", std::nullopt,
              [](const auto& p) { std::filesystem::create_symlink("/dev/zero", p); }},
             {"too large", "too large", std::nullopt, [](const auto& p) { // sparse: the size alone must refuse it
                  std::ofstream(p) << "<plist><dict>";
                  std::filesystem::resize_file(p, UserDefaults::kMaximumFileSize + 1);
              }},
             {"a folder", "cannot be read (Is a directory)", std::nullopt,
              [](const auto& p) { std::filesystem::create_directories(p); }}}) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(env.dir());
        std::filesystem::create_directories(env.dir());
        c.bytes ? env.write(env.file("odd"), *c.bytes) : c.make(env.file("odd"));
        LogCapture logs;
        auto store = UserDefaults::suite("odd");
        store->registerDefaults({{"scale", 4.0}});
        EXPECT_TRUE(store->persistentDomain().empty());
        EXPECT_EQ(store->object("scale"), PropertyList(4.0));
        const auto aside = corruptCopies(env, "odd");
        ASSERT_EQ(aside.size(), 1u);
        if (c.bytes) { // nothing of the original is lost
            EXPECT_EQ(TempSettings::read(aside[0]), *c.bytes);
        }
        const auto errors = logs.messages(LogLevel::Error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.said), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find("moved to " + aside[0].string()), std::string::npos) << errors[0];
        ASSERT_TRUE(store->set("after", 1));
        ASSERT_TRUE(store->synchronize());
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(env.file("odd"))));
        EXPECT_EQ(env.onDisk("odd"), (Dict{{"after", 1}}));
    }
    // A file corrupted while the suite is open is rebuilt from memory.
    auto running = UserDefaults::suite("running");
    running->set("a", 1);
    ASSERT_TRUE(running->synchronize());
    env.write(env.file("running"), "garbage");
    running->set("b", 2);
    ASSERT_TRUE(running->synchronize());
    EXPECT_EQ(env.onDisk("running"), (Dict{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(corruptCopies(env, "running").size(), 1u);
    // A string holding a NUL character is no corruption, and does not stop the process.
    env.write(env.file("nul"), std::string("<plist version=\"1.0\"><dict><key>a</key><string>x\0y</string></dict></plist>", 74));
    auto nul = UserDefaults::suite("nul");
    ASSERT_TRUE(nul->object("a"));
    EXPECT_TRUE(nul->object("a")->is(PropertyList::Kind::String));
    EXPECT_TRUE(corruptCopies(env, "nul").empty());
}

TEST(UserDefaults, ASymbolicLinkToASettingsFileIsReadAndWrittenThrough) {
    TempSettings env;
    // As for a managed dotfile: the write goes to the target, the link stays.
    const auto real = env.dir() / "elsewhere.plist";
    env.write(real, toXml({{"kept", 7}}));
    std::filesystem::create_symlink(real, env.file("linked"));
    auto linked = UserDefaults::suite("linked");
    EXPECT_EQ(linked->object("kept"), PropertyList(7));
    ASSERT_TRUE(linked->set("written", 8));
    ASSERT_TRUE(linked->synchronize());
    EXPECT_EQ(std::filesystem::read_symlink(env.file("linked")), real);
    EXPECT_EQ(TempSettings::settingsIn(real), (Dict{{"kept", 7}, {"written", 8}}));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(env.dir()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"elsewhere.plist", "linked.plist", "linked.plist.lock"}));
}

TEST(UserDefaults, TemporariesOfWritersThatDiedAreRemovedWhenTheSuiteOpens) {
    TempSettings env;
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string base = env.file("tidy").string() + ".tmp-";
    const std::string deadWriters = base + std::to_string(dead) + "-a1b2c3", oldUnnamed = base + "Qx81Zz";
    const std::vector<std::string> kept = {base + std::to_string(::getpid()) + "-d4e5f6", base + "R7yy2k",
                                           env.file("other").string() + ".tmp-" + std::to_string(dead) + "-g7h8i9"};
    for (const auto& path : {deadWriters, oldUnnamed, kept[0], kept[1], kept[2]})
        env.write(path, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>");
    const timespec twoMinutesAgo[2] = {{::time(nullptr) - 120, 0}, {::time(nullptr) - 120, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, oldUnnamed.c_str(), twoMinutesAgo, 0), 0); // no pid: judged by age

    auto store = UserDefaults::suite("tidy");
    EXPECT_FALSE(std::filesystem::exists(deadWriters));
    EXPECT_FALSE(std::filesystem::exists(oldUnnamed));
    for (const auto& path : kept) // a live writer's, a recent one, another suite's
        EXPECT_TRUE(std::filesystem::exists(path)) << path;
}

TEST(UserDefaults, WithoutAHomeTheSettingsHaveNoPlace) {
    TempSettings env; // restores XDG_CONFIG_HOME
    const char* previousHome = std::getenv("HOME");
    const std::string home = previousHome ? previousHome : "";
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    EXPECT_THROW(UserDefaults::defaultDirectory(), SettingsLocationError);
    EXPECT_THROW(UserDefaults::suite("anything"), SettingsLocationError);
    ::setenv("HOME", "relative/home", 1);
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_THROW(UserDefaults::defaultDirectory(), SettingsLocationError);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(UserDefaults::defaultDirectory(), "/home/someone/.config/overlook");
    previousHome ? ::setenv("HOME", home.c_str(), 1) : ::unsetenv("HOME");
}
