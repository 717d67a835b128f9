#include "settings_store/Defaults.h"
#include "tests/settings_store/TempSettings.h"

using namespace overlook;
using overlook::test::TempSettings;
using Array = PropertyList::Array;
template <class T>
using Key = Defaults::Key<T>;

namespace {

// Coded as a bare JSON string.
enum class Fruit { apple, pear, unencodable };
void to_json(nlohmann::json& j, Fruit f) {
    if (f == Fruit::unencodable)
        throw std::runtime_error("Fruit.unencodable has no coded form");
    j = f == Fruit::apple ? "apple \"quoted\"" : "pear";
}
void from_json(const nlohmann::json& j, Fruit& f) {
    const auto s = j.get<std::string>();
    if (s != "apple \"quoted\"" && s != "pear")
        throw std::runtime_error("no such fruit");
    f = s == "pear" ? Fruit::pear : Fruit::apple;
}

struct Level {
    int raw;
    int rawValue() const { return raw; }
    static std::optional<Level> fromRawValue(int r) {
        return r >= 0 && r <= 3 ? std::optional(Level{r}) : std::nullopt;
    }
    bool operator==(const Level&) const = default;
};

struct ToolColor {
    std::optional<std::string> space;
    std::vector<double> values;
    static constexpr std::string_view archiveClassName = "ToolColor";
    std::optional<std::string> colorSpaceName() const { return space; }
    std::optional<std::vector<double>> components() const { return space ? std::optional(values) : std::nullopt; }
    static std::optional<ToolColor> make(const std::string& s, const std::vector<double>& v) {
        return s == "sRGB" || s == "genericGray" ? std::optional(ToolColor{s, v}) : std::nullopt;
    }
    PropertyList archive() const { return Array(values.begin(), values.end()); }
    static std::optional<ToolColor> unarchive(const PropertyList& p) {
        auto v = Defaults::fromStored<std::vector<double>>(p);
        return v ? std::optional(ToolColor{std::nullopt, *v}) : std::nullopt;
    }
    bool operator==(const ToolColor&) const = default;
};

} // namespace

template <>
struct overlook::Defaults::Serializable<Fruit> : BridgedBy<TopLevelCodableBridge<Fruit>> {};
template <>
struct overlook::Defaults::Serializable<Level> : BridgedBy<RawRepresentableBridge<Level>> {};
template <>
struct overlook::Defaults::Serializable<ToolColor> : BridgedBy<ColorBridge<ToolColor>> {};

namespace {

struct DefaultsTest : testing::Test {
    TempSettings env;
    std::shared_ptr<UserDefaults> suite = UserDefaults::open(env.dir(), "keys");
};

} // namespace

TEST_F(DefaultsTest, NativeValuesAreStoredAsThemselvesAndReadWithExactConversions) {
    Key<bool> flag("flag", false, suite);
    Key<int> count("count", 7, suite);
    Key<double> ratio("ratio", 0.5, suite);
    Key<std::string> text("text", "", suite);
    Key<Data> bytes("bytes", Data{}, suite);
    Key<Date> when("when", Date{}, suite);
    Key<std::uint64_t> big("big", 1, suite);

    EXPECT_EQ(suite->object("count"), PropertyList(7)); // registered at creation
    flag.set(true);
    count.set(-3);
    ratio.set(0.25);
    text.set("héllo");
    bytes.set(Data{0, 9});
    when.set(Date{1700000000});
    EXPECT_EQ(suite->object("flag"), PropertyList(true));
    EXPECT_EQ(suite->object("ratio"), PropertyList(0.25));
    EXPECT_EQ(suite->object("bytes"), PropertyList(Data{0, 9})); // data, not a list of numbers
    EXPECT_EQ(Defaults::get(count), -3);
    EXPECT_EQ(text.get(), "héllo");
    EXPECT_EQ(bytes.get(), (Data{0, 9}));
    EXPECT_EQ(when.get(), Date{1700000000});
    suite->set("flag", "true");
    EXPECT_TRUE(flag.get());

    // Text is read as JSON.
    for (const auto& [stored, expected] : std::vector<std::pair<PropertyList, int>>{{"12", 12}, {"4.5", 7}, {4.0, 4}, {1e12, 7}}) {
        suite->set("count", stored);
        EXPECT_EQ(count.get(), expected) << stored.describe();
    }
    suite->set("ratio", Array{});
    EXPECT_EQ(ratio.get(), 0.5);

    big.set(5);
    EXPECT_EQ(big.get(), 5u);
    big.set(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(suite->persistentDomain().count("big"), 0u);
    EXPECT_EQ(big.get(), 1u);
}

TEST_F(DefaultsTest, OptionalsRegisterNothingWhenEmptyAndWritingNothingRemoves) {
    Key<std::optional<int>> maybe("maybe", std::nullopt, suite);
    EXPECT_EQ(suite->dictionaryRepresentation().count("maybe"), 0u);
    EXPECT_EQ(maybe.get(), std::nullopt);
    maybe.set(5);
    EXPECT_EQ(suite->object("maybe"), PropertyList(5));
    EXPECT_EQ(maybe.get(), 5);
    maybe.set(std::nullopt);
    EXPECT_EQ(suite->object("maybe"), std::nullopt);

    Key<std::optional<int>> withDefault("withDefault", 3, suite);
    EXPECT_EQ(suite->object("withDefault"), PropertyList(3));
    Key<Defaults::AnySerializable> any("any", {}, suite);
    EXPECT_EQ(suite->object("any"), std::nullopt);
    any.set(Array{1, "two"});
    EXPECT_EQ(suite->object("any"), PropertyList(Array{1, "two"}));
    EXPECT_EQ(any.get().value, PropertyList(Array{1, "two"}));
}

TEST_F(DefaultsTest, JsonBridgeStoresBareLiteralsAndFallsBackOnBadText) {
    Key<Fruit> fruit("fruit", Fruit::pear, suite);
    EXPECT_EQ(suite->object("fruit"), PropertyList("\"pear\""));
    fruit.set(Fruit::apple);
    EXPECT_EQ(suite->object("fruit"), PropertyList(R"("apple \"quoted\"")"));
    EXPECT_EQ(fruit.get(), Fruit::apple);
    for (const char* bad : {"apple", "\"banana\"", "", "[\"pear\"]", "\"pear"}) {
        suite->set("fruit", bad);
        EXPECT_EQ(fruit.get(), Fruit::pear) << bad;
    }
    suite->set("fruit", 1);
    EXPECT_EQ(fruit.get(), Fruit::pear);

    fruit.set(Fruit::apple);
    testing::internal::CaptureStdout();
    fruit.set(Fruit::unencodable);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fruit.unencodable has no coded form\n");
    EXPECT_EQ(suite->persistentDomain().count("fruit"), 0u);
    EXPECT_EQ(fruit.get(), Fruit::pear);

    Key<std::string> text("text", "default", suite);
    text.set("stored");
    text.set(std::string("\xC3\x28"));
    EXPECT_EQ(suite->persistentDomain().count("text"), 0u);
    EXPECT_EQ(text.get(), "default");
}

TEST_F(DefaultsTest, ContainersMapEveryElementAndDropWhatDoesNotConvert) {
    Key<std::vector<Fruit>> fruits("fruits", {}, suite);
    fruits.set({Fruit::apple, Fruit::unencodable, Fruit::pear});
    EXPECT_EQ(suite->object("fruits"), PropertyList(Array{R"("apple \"quoted\"")", "\"pear\""}));
    EXPECT_EQ(fruits.get(), (std::vector<Fruit>{Fruit::apple, Fruit::pear}));

    Key<std::vector<int>> numbers("numbers", {9}, suite);
    suite->set("numbers", Array{1, "x", 2, 2.5, "3"});
    EXPECT_EQ(numbers.get(), (std::vector<int>{1, 2, 3}));
    suite->set("numbers", "not an array");
    EXPECT_EQ(numbers.get(), std::vector<int>{9});

    Key<std::map<int, std::string>> names("names", {}, suite);
    names.set({{1, "one"}, {-2, "minus two"}});
    EXPECT_EQ(suite->object("names"), PropertyList(PropertyList::Dictionary{{"1", "one"}, {"-2", "minus two"}}));
    suite->set("names", PropertyList::Dictionary{{"1", "one"}, {"abc", "dropped"}, {"2x", "dropped"}});
    EXPECT_EQ(names.get(), (std::map<int, std::string>{{1, "one"}}));

    Key<Defaults::Range<int>> range("range", {0, 1}, suite);
    range.set({2, 10});
    EXPECT_EQ(suite->object("range"), PropertyList(Array{2, 10}));
    EXPECT_EQ(range.get(), (Defaults::Range<int>{2, 10}));
    suite->set("range", Array{2});
    EXPECT_EQ(range.get(), (Defaults::Range<int>{0, 1}));
}

TEST_F(DefaultsTest, UrlUuidAndRawValueBridges) {
    const auto home = *Defaults::URL::parse("https://example.com/a?b=c");
    Key<Defaults::URL> url("url", home, suite);
    EXPECT_EQ(suite->object("url"), PropertyList("\"https://example.com/a?b=c\""));
    suite->set("url", R"("https:\/\/other.example\/x")"); // escaped slashes, as other encoders write them
    EXPECT_EQ(url.get().absoluteString(), "https://other.example/x");
    suite->set("url", "\"no scheme here\"");
    EXPECT_EQ(url.get(), home);
    EXPECT_FALSE(Defaults::URL::parse("1http://x"));

    const auto id = Defaults::UUID::random();
    Key<Defaults::UUID> uuid("uuid", Defaults::UUID{}, suite);
    uuid.set(id);
    EXPECT_EQ(suite->object("uuid"), PropertyList(id.uuidString()));
    EXPECT_EQ(uuid.get(), id);
    EXPECT_EQ(Defaults::UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->uuidString(),
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    suite->set("uuid", "E621E1F8-C36C-495A-93FC-0C247A3E6E5");
    EXPECT_EQ(uuid.get(), Defaults::UUID{});

    Key<Level> level("level", Level{1}, suite);
    level.set(Level{3});
    EXPECT_EQ(suite->object("level"), PropertyList(3));
    suite->set("level", 4);
    EXPECT_EQ(level.get(), Level{1});
}

TEST_F(DefaultsTest, ColoursUseTheirNamedSpaceOrAnArchive) {
    Key<ToolColor> color("color", ToolColor{"sRGB", {0, 0, 0, 1}}, suite);
    color.set(ToolColor{"genericGray", {0.5, 1}});
    EXPECT_EQ(suite->object("color"), PropertyList(Array{"genericGray", Array{0.5, 1.0}}));
    EXPECT_EQ(color.get(), (ToolColor{"genericGray", {0.5, 1}}));

    color.set(ToolColor{std::nullopt, {0.1, 0.2}}); // no named space: archived
    EXPECT_TRUE(suite->object("color")->is(PropertyList::Kind::Data));
    EXPECT_EQ(color.get(), (ToolColor{std::nullopt, {0.1, 0.2}}));

    const ToolColor fallback{"sRGB", {0, 0, 0, 1}};
    for (const Array& bad : {Array{"sRGB"}, Array{1, Array{1.0}}, Array{"sRGB", "no list"},
                             Array{"noSuchSpace", Array{1.0}}, Array{"sRGB", Array{true}}}) {
        suite->set("color", bad);
        EXPECT_EQ(color.get(), fallback) << PropertyList(bad).describe();
    }
    testing::internal::CaptureStdout();
    suite->set("color", Data{1, 2, 3});
    EXPECT_EQ(color.get(), fallback);
    auto archive = Defaults::detail::archive("SomethingElse", Array{});
    suite->set("color", *archive);
    EXPECT_EQ(color.get(), fallback);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("the archive is unreadable"), std::string::npos);
    EXPECT_NE(printed.find("no object of class ToolColor"), std::string::npos);
}

TEST_F(DefaultsTest, ResettingAndRemovingEverythingLeaveRegisteredDefaults) {
    auto other = UserDefaults::open(env.dir(), "other");
    Key<double> scale("scale", 4.0, suite);
    Key<int> a("a", 1, suite), b("b", 2, other);
    scale.set(8);
    a.set(10);
    b.set(20);
    scale.reset();
    EXPECT_EQ(scale.get(), 4.0);
    EXPECT_EQ(suite->doubleForKey("scale"), 4.0); // direct reads see the default too
    Defaults::reset(a, b);
    EXPECT_EQ(a.get(), 1);
    EXPECT_EQ(b.get(), 2);
    EXPECT_EQ(other->persistentDomain().size(), 0u);

    suite->set("x", 1);
    suite->set("y", 2);
    Defaults::reset({"x"}, *suite);
    EXPECT_EQ(suite->object("x"), std::nullopt);
    a.set(11);
    Defaults::removeAll(*suite);
    EXPECT_TRUE(suite->persistentDomain().empty());
    EXPECT_EQ(a.get(), 1);
    EXPECT_EQ(suite->object("scale"), PropertyList(4.0));
}
