#pragma once
// Typed keys over the defaults store, and the bridges that turn values of any
// storable type into property-list values and back.
//
// A type is storable once it specialises Defaults::Serializable, naming its bridge:
//
//     template <> struct Defaults::Serializable<Mode> : Defaults::BridgedBy<Defaults::TopLevelCodableBridge<Mode>> {};
//
// Reading a key never fails (the default stands in); writing a value that cannot be
// converted removes the entry. Keys may be read and written from any thread.

#include "settings_store/PropertyList.h"
#include "settings_store/UserDefaults.h"

#include <array>
#include <charconv>
#include <concepts>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

namespace overlook {

// JSON form of a date: seconds since 1970.
inline void to_json(nlohmann::json& j, const Date& d) { j = d.secondsSince1970; }
inline void from_json(const nlohmann::json& j, Date& d) { d.secondsSince1970 = j.get<std::int64_t>(); }

namespace Defaults {

// ---- conformance -------------------------------------------------------------

// Specialised by every storable type. Provides `Bridge`, `isNativelySupportedType`,
// and the two conversions `toStored` and `fromStored`.
template <class T>
struct Serializable;

template <class T>
concept Storable = requires(const T& v, const PropertyList& p) {
    { Serializable<T>::toStored(v) } -> std::same_as<std::optional<PropertyList>>;
    { Serializable<T>::fromStored(p) } -> std::same_as<std::optional<T>>;
};

// The conversion to stored form; nothing when the value has none.
template <Storable T>
std::optional<PropertyList> toStored(const T& value) {
    return Serializable<T>::toStored(value);
}
// The conversion from stored form; nothing when the stored value does not convert.
template <Storable T>
std::optional<T> fromStored(const std::optional<PropertyList>& stored) {
    if (!stored)
        return std::nullopt;
    return Serializable<T>::fromStored(*stored);
}

// A type that is not stored natively, converted by its bridge alone.
template <class Bridge>
struct BridgedBy {
    using BridgeType = Bridge;
    static constexpr bool isNativelySupportedType = false;
    static std::optional<PropertyList> toStored(const typename Bridge::Value& v) { return Bridge::serialize(v); }
    static std::optional<typename Bridge::Value> fromStored(const PropertyList& p) { return Bridge::deserialize(p); }
};

// ---- JSON bridges ----------------------------------------------------------------

namespace detail {
void printEncodingError(const char* description);

// Strict JSON reads of numbers: a boolean is no number and 4.5 is no integer.
template <class T>
std::optional<T> decodeJson(const nlohmann::json& j) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!j.is_boolean())
            return std::nullopt;
        return j.get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        if (j.is_number_unsigned()) {
            const auto u = j.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
                return std::nullopt;
            return static_cast<T>(u);
        }
        if (!j.is_number_integer())
            return std::nullopt;
        const auto i = j.get<std::int64_t>();
        if (std::cmp_less(i, std::numeric_limits<T>::min()) || std::cmp_greater(i, std::numeric_limits<T>::max()))
            return std::nullopt;
        return static_cast<T>(i);
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!j.is_number())
            return std::nullopt;
        return j.get<T>();
    } else {
        return j.get<T>();
    }
}
} // namespace detail

// The JSON text of the value alone: the one-element array [value] is encoded and
// its brackets dropped, so that bare strings and numbers work too.
template <class T>
struct TopLevelCodableBridge {
    using Value = T;
    static std::optional<PropertyList> serialize(const T& value) {
        try {
            nlohmann::json array = nlohmann::json::array();
            array.push_back(value);
            const std::string text = array.dump();
            return PropertyList(text.substr(1, text.size() - 2));
        } catch (const std::exception& e) {
            detail::printEncodingError(e.what());
            return std::nullopt;
        }
    }
    static std::optional<T> deserialize(const PropertyList& stored) {
        const auto* text = stored.get<std::string>();
        if (!text)
            return std::nullopt;
        try {
            const auto array = nlohmann::json::parse("[" + *text + "]");
            if (!array.is_array() || array.empty())
                return std::nullopt;
            return detail::decodeJson<T>(array.front());
        } catch (const std::exception&) {
            return std::nullopt; // text that is not this type's JSON is simply no value
        }
    }
};
template <class T>
using RawRepresentableCodableBridge = TopLevelCodableBridge<T>;
template <class T>
using CodableArchiveBridge = TopLevelCodableBridge<T>;

// ---- native types ------------------------------------------------------------------

template <class T>
concept NativeValue = std::is_arithmetic_v<T> || std::same_as<T, std::string> || std::same_as<T, Data> ||
                      std::same_as<T, Date>;

namespace detail {
// A stored value "is of" a native type when it holds that kind, or a number that the
// type represents exactly (for booleans: any number, by whether it is zero).
template <NativeValue T>
std::optional<T> nativeCast(const PropertyList& p) {
    if constexpr (std::is_same_v<T, bool>) {
        // Numbers count by value, as a hand-edited file or another tool writes
        // them: 0 is false, anything else true. NaN means nothing.
        if (auto* b = p.get<bool>())
            return *b;
        if (auto* i = p.get<std::int64_t>())
            return *i != 0;
        if (auto* r = p.get<double>(); r && *r == *r)
            return *r != 0;
        return std::nullopt;
    } else if constexpr (std::is_integral_v<T>) {
        std::optional<std::int64_t> i;
        if (auto* v = p.get<std::int64_t>())
            i = *v;
        else if (auto* b = p.get<bool>())
            i = *b ? 1 : 0;
        else if (auto* r = p.get<double>(); r && *r == static_cast<double>(static_cast<std::int64_t>(*r)) &&
                                             *r > -9.3e18 && *r < 9.3e18)
            i = static_cast<std::int64_t>(*r);
        if (!i || std::cmp_less(*i, std::numeric_limits<T>::min()) ||
            std::cmp_greater(*i, std::numeric_limits<T>::max()))
            return std::nullopt;
        return static_cast<T>(*i);
    } else if constexpr (std::is_floating_point_v<T>) {
        if (auto* r = p.get<double>())
            return static_cast<T>(*r);
        if (auto* i = p.get<std::int64_t>())
            return static_cast<T>(*i);
        if (auto* b = p.get<bool>())
            return static_cast<T>(*b ? 1 : 0);
        return std::nullopt;
    } else {
        if (auto* v = p.get<T>())
            return *v;
        return std::nullopt;
    }
}
} // namespace detail

template <NativeValue T>
struct Serializable<T> {
    using BridgeType = TopLevelCodableBridge<T>;
    static constexpr bool isNativelySupportedType = true;
    static std::optional<PropertyList> toStored(const T& value) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t))
            if (value > static_cast<T>(std::numeric_limits<std::int64_t>::max()))
                return std::nullopt; // the store's integers are signed 64-bit
        return PropertyList(value);
    }
    static std::optional<T> fromStored(const PropertyList& p) {
        if (auto v = detail::nativeCast<T>(p))
            return v;
        // A native key whose entry holds text reads it as JSON ("true" for a boolean).
        return BridgeType::deserialize(p);
    }
};

// ---- optionals and containers ---------------------------------------------------

template <Storable T>
struct OptionalBridge {
    using Value = std::optional<T>;
    static std::optional<PropertyList> serialize(const Value& v) { return v ? toStored(*v) : std::nullopt; }
    static std::optional<Value> deserialize(const PropertyList& p) {
        if (auto v = Serializable<T>::fromStored(p))
            return Value(std::move(*v));
        return std::nullopt;
    }
};
template <Storable T>
struct Serializable<std::optional<T>> : BridgedBy<OptionalBridge<T>> {
    static constexpr bool isNativelySupportedType = Serializable<T>::isNativelySupportedType;
};

// Any collection that can be listed and built from a vector of its elements.
// Elements without a stored form are dropped, both ways.
template <class C>
struct CollectionBridge {
    using Value = C;
    using Element = std::remove_cvref_t<typename C::value_type>;
    static std::optional<PropertyList> serialize(const C& values) {
        PropertyList::Array out;
        for (const auto& v : values)
            if (auto stored = toStored<Element>(v))
                out.push_back(std::move(*stored));
        return PropertyList(std::move(out));
    }
    static std::optional<C> deserialize(const PropertyList& p) {
        const auto* items = p.get<PropertyList::Array>();
        if (!items)
            return std::nullopt;
        std::vector<Element> out;
        for (const auto& item : *items)
            if (auto v = Serializable<Element>::fromStored(item))
                out.push_back(std::move(*v));
        return C(std::make_move_iterator(out.begin()), std::make_move_iterator(out.end()));
    }
};
template <class C>
using ArrayBridge = CollectionBridge<C>;
template <class C>
using SetBridge = CollectionBridge<C>;
template <class C>
using SetAlgebraBridge = CollectionBridge<C>;

// Raw bytes (Data) are a native value, stored as data, not as a list of numbers.
template <Storable T>
    requires(!std::same_as<T, std::uint8_t>)
struct Serializable<std::vector<T>> : BridgedBy<ArrayBridge<std::vector<T>>> {
    static constexpr bool isNativelySupportedType = Serializable<T>::isNativelySupportedType;
};
template <Storable T>
struct Serializable<std::set<T>> : BridgedBy<SetBridge<std::set<T>>> {};
template <Storable T>
struct Serializable<std::unordered_set<T>> : BridgedBy<SetBridge<std::unordered_set<T>>> {};

// Dictionary keys are written as text and must read back without loss.
template <class K>
concept TextKey = std::same_as<K, std::string> || (std::is_integral_v<K> && !std::is_same_v<K, bool>);

template <TextKey K, Storable V>
struct DictionaryBridge {
    using Value = std::map<K, V>;
    static std::string keyText(const K& k) {
        if constexpr (std::is_same_v<K, std::string>)
            return k;
        else
            return std::to_string(k);
    }
    static std::optional<K> keyFromText(const std::string& s) {
        if constexpr (std::is_same_v<K, std::string>) {
            return s;
        } else {
            K k{};
            auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), k);
            if (ec != std::errc() || end != s.data() + s.size())
                return std::nullopt;
            return k;
        }
    }
    static std::optional<PropertyList> serialize(const Value& values) {
        PropertyList::Dictionary out;
        for (const auto& [k, v] : values)
            if (auto stored = toStored<V>(v))
                out.insert_or_assign(keyText(k), std::move(*stored));
        return PropertyList(std::move(out));
    }
    static std::optional<Value> deserialize(const PropertyList& p) {
        const auto* items = p.get<PropertyList::Dictionary>();
        if (!items)
            return std::nullopt;
        Value out;
        for (const auto& [text, item] : *items) {
            auto k = keyFromText(text);
            auto v = Serializable<V>::fromStored(item);
            if (k && v)
                out.insert_or_assign(std::move(*k), std::move(*v));
        }
        return out;
    }
};
template <TextKey K, Storable V>
struct Serializable<std::map<K, V>> : BridgedBy<DictionaryBridge<K, V>> {
    static constexpr bool isNativelySupportedType = Serializable<V>::isNativelySupportedType;
};

// ---- ranges ------------------------------------------------------------------------

// [lower, upper) and [lower, upper]. Built from unchecked bounds, as stored.
template <class T>
struct Range {
    T lowerBound{}, upperBound{};
    bool operator==(const Range&) const = default;
    bool contains(const T& v) const { return !(v < lowerBound) && v < upperBound; }
};
template <class T>
struct ClosedRange {
    T lowerBound{}, upperBound{};
    bool operator==(const ClosedRange&) const = default;
    bool contains(const T& v) const { return !(v < lowerBound) && !(upperBound < v); }
};

template <class R>
struct RangeBridge {
    using Value = R;
    using Bound = decltype(R{}.lowerBound);
    static std::optional<PropertyList> serialize(const R& r) {
        auto lower = toStored<Bound>(r.lowerBound);
        auto upper = toStored<Bound>(r.upperBound);
        if (!lower || !upper)
            return std::nullopt;
        return PropertyList(PropertyList::Array{std::move(*lower), std::move(*upper)});
    }
    static std::optional<R> deserialize(const PropertyList& p) {
        const auto* items = p.get<PropertyList::Array>();
        if (!items || items->size() != 2)
            return std::nullopt;
        auto lower = Serializable<Bound>::fromStored((*items)[0]);
        auto upper = Serializable<Bound>::fromStored((*items)[1]);
        if (!lower || !upper)
            return std::nullopt;
        return R{std::move(*lower), std::move(*upper)};
    }
};
template <Storable T>
struct Serializable<Range<T>> : BridgedBy<RangeBridge<Range<T>>> {};
template <Storable T>
struct Serializable<ClosedRange<T>> : BridgedBy<RangeBridge<ClosedRange<T>>> {};

// ---- URL and UUID ----------------------------------------------------------------

// An absolute URL: a scheme, a colon and the rest, kept as written.
class URL {
public:
    static std::optional<URL> parse(const std::string& text);
    const std::string& absoluteString() const { return text_; }
    std::string scheme() const { return text_.substr(0, text_.find(':')); }
    bool operator==(const URL&) const = default;

private:
    explicit URL(std::string text) : text_(std::move(text)) {}
    std::string text_;
};
void to_json(nlohmann::json& j, const URL& url);
void from_json(const nlohmann::json& j, URL& url); // throws for text that is no URL

struct URLBridge {
    using Value = URL;
    static std::optional<PropertyList> serialize(const URL& url) {
        return TopLevelCodableBridge<std::string>::serialize(url.absoluteString());
    }
    static std::optional<URL> deserialize(const PropertyList& p) {
        auto text = TopLevelCodableBridge<std::string>::deserialize(p);
        return text ? URL::parse(*text) : std::nullopt;
    }
};
template <>
struct Serializable<URL> : BridgedBy<URLBridge> {};

class UUID {
public:
    UUID() = default; // the nil identifier
    static UUID random();
    // The 36-character form in either case; nothing for other text.
    static std::optional<UUID> parse(const std::string& text);
    // Upper-case hexadecimal in the 8-4-4-4-12 grouping.
    std::string uuidString() const;
    bool operator==(const UUID&) const = default;
    auto operator<=>(const UUID&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

struct UUIDBridge {
    using Value = UUID;
    static std::optional<PropertyList> serialize(const UUID& id) { return PropertyList(id.uuidString()); }
    static std::optional<UUID> deserialize(const PropertyList& p) {
        const auto* text = p.get<std::string>();
        return text ? UUID::parse(*text) : std::nullopt;
    }
};
template <>
struct Serializable<UUID> : BridgedBy<UUIDBridge> {};

// ---- raw values --------------------------------------------------------------------

template <class T>
concept RawRepresentable = requires(const T& v) {
    { T::fromRawValue(v.rawValue()) } -> std::same_as<std::optional<T>>;
};

template <RawRepresentable T>
struct RawRepresentableBridge {
    using Value = T;
    using Raw = std::remove_cvref_t<decltype(std::declval<const T&>().rawValue())>;
    static std::optional<PropertyList> serialize(const T& v) { return toStored<Raw>(v.rawValue()); }
    static std::optional<T> deserialize(const PropertyList& p) {
        auto raw = Serializable<Raw>::fromStored(p);
        return raw ? T::fromRawValue(*raw) : std::nullopt;
    }
};

// ---- any value ---------------------------------------------------------------------

// A value of any stored kind, or none.
struct AnySerializable {
    std::optional<PropertyList> value;

    AnySerializable() = default; // the empty value
    AnySerializable(std::nullopt_t) {}
    template <class V>
        requires std::constructible_from<PropertyList, V>
    AnySerializable(V&& v) : value(PropertyList(std::forward<V>(v))) {}
    bool isNil() const { return !value.has_value(); }
    bool operator==(const AnySerializable&) const = default;
};
struct AnyBridge {
    using Value = AnySerializable;
    static std::optional<PropertyList> serialize(const AnySerializable& v) { return v.value; }
    static std::optional<AnySerializable> deserialize(const PropertyList& p) { return AnySerializable(p); }
};
template <>
struct Serializable<AnySerializable> : BridgedBy<AnyBridge> {};

// ---- archives ---------------------------------------------------------------------

// A type that can be kept as a keyed archive: a self-describing byte form (a binary
// property list naming the class and holding the object's fields).
template <class T>
concept Archivable = requires(const T& v, const PropertyList& p) {
    { T::archiveClassName } -> std::convertible_to<std::string_view>;
    { v.archive() } -> std::same_as<PropertyList>;
    { T::unarchive(p) } -> std::same_as<std::optional<T>>;
};

namespace detail {
std::optional<Data> archive(std::string_view className, const PropertyList& fields);
// The fields of an archive of `className`; prints what was wrong to standard output.
std::optional<PropertyList> unarchive(std::string_view className, const Data& bytes);
} // namespace detail

template <Archivable T>
struct ArchiveBridge {
    using Value = T;
    static std::optional<PropertyList> serialize(const T& v) {
        auto bytes = detail::archive(T::archiveClassName, v.archive());
        return bytes ? std::optional<PropertyList>(PropertyList(std::move(*bytes))) : std::nullopt;
    }
    static std::optional<T> deserialize(const PropertyList& p) {
        const auto* bytes = p.get<Data>();
        if (!bytes)
            return std::nullopt;
        auto fields = detail::unarchive(T::archiveClassName, *bytes);
        return fields ? T::unarchive(*fields) : std::nullopt;
    }
};

// ---- colours -------------------------------------------------------------------------

// A colour of the interface toolkit: stored as [colour-space name, components], or
// as an archive when it has no named space or no components.
template <class C>
concept ToolkitColor = Archivable<C> && requires(const C& c, const std::string& s, const std::vector<double>& v) {
    { c.colorSpaceName() } -> std::same_as<std::optional<std::string>>;
    { c.components() } -> std::same_as<std::optional<std::vector<double>>>;
    { C::make(s, v) } -> std::same_as<std::optional<C>>;
};

template <ToolkitColor C>
struct ColorBridge {
    using Value = C;
    static std::optional<PropertyList> serialize(const C& c) {
        auto space = c.colorSpaceName();
        auto components = c.components();
        if (space && components) {
            PropertyList::Array numbers(components->begin(), components->end());
            return PropertyList(PropertyList::Array{*space, std::move(numbers)});
        }
        return ArchiveBridge<C>::serialize(c);
    }
    static std::optional<C> deserialize(const PropertyList& p) {
        if (p.is(PropertyList::Kind::Data))
            return ArchiveBridge<C>::deserialize(p);
        const auto* items = p.get<PropertyList::Array>();
        if (!items || items->size() < 2)
            return std::nullopt;
        const auto* space = (*items)[0].get<std::string>();
        const auto* list = (*items)[1].get<PropertyList::Array>();
        if (!space || !list)
            return std::nullopt;
        std::vector<double> components;
        for (const auto& item : *list) {
            auto n = detail::nativeCast<double>(item);
            if (!n || item.is(PropertyList::Kind::Boolean))
                return std::nullopt;
            components.push_back(*n);
        }
        return C::make(*space, components);
    }
};

// ---- keys ------------------------------------------------------------------------------

class AnyKey {
public:
    // `suite` defaults to the standard store.
    explicit AnyKey(std::string name, std::shared_ptr<UserDefaults> suite = nullptr);
    virtual ~AnyKey() = default;

    const std::string& name() const { return name_; }
    UserDefaults& suite() const { return *suite_; }
    const std::shared_ptr<UserDefaults>& suitePointer() const { return suite_; }
    // Removes the entry; reads then give the registered default.
    void reset() const { suite_->removeObject(name_); }

    bool operator==(const AnyKey& other) const { return name_ == other.name_ && suite_ == other.suite_; }

private:
    std::string name_;
    std::shared_ptr<UserDefaults> suite_;
};

// Asks a key to keep its default to itself, as a view-level binding does: reads of
// the key give it, the store's registration domain never holds it.
struct UnregisteredDefault {};
inline constexpr UnregisteredDefault unregisteredDefault{};

template <Storable T>
class Key : public AnyKey {
public:
    using Value = T;

    // Registers the default's stored form with the suite (nothing for an empty
    // optional or a default without stored form).
    Key(std::string name, T defaultValue, std::shared_ptr<UserDefaults> suite = nullptr)
        : AnyKey(std::move(name), std::move(suite)), defaultValue_(std::move(defaultValue)) {
        if (auto stored = toStored(defaultValue_))
            this->suite().registerDefaults({{this->name(), std::move(*stored)}});
    }
    // Registers nothing: the default applies only to reads through this key.
    Key(std::string name, T defaultValue, UnregisteredDefault, std::shared_ptr<UserDefaults> suite = nullptr)
        : AnyKey(std::move(name), std::move(suite)), defaultValue_(std::move(defaultValue)) {}

    const T& defaultValue() const { return defaultValue_; }

    // The entry converted to T, or the default.
    T get() const { return fromStored<T>(suite().object(name())).value_or(defaultValue_); }
    // Stores the value's stored form; a value without one (the empty optional, a
    // failed conversion) removes the entry.
    void set(const T& value) const {
        auto stored = toStored(value);
        if (!stored || !suite().set(name(), std::move(*stored)))
            suite().removeObject(name());
    }

private:
    T defaultValue_;
};

template <class T>
T get(const Key<T>& key) {
    return key.get();
}
template <class T>
void set(const Key<T>& key, const T& value) {
    key.set(value);
}

// Removes the entries of the keys, each from its own suite.
template <class... Keys>
    requires(std::derived_from<Keys, AnyKey> && ...)
void reset(const Keys&... keys) {
    (keys.reset(), ...);
}
void reset(const std::vector<const AnyKey*>& keys);
// Removes the named entries from one suite.
void reset(const std::vector<std::string>& names, UserDefaults& suite);
// Removes every entry of the suite; registered defaults stay in force.
void removeAll(UserDefaults& suite);

} // namespace Defaults
} // namespace overlook

template <>
struct std::hash<overlook::Defaults::AnyKey> {
    std::size_t operator()(const overlook::Defaults::AnyKey& key) const noexcept {
        const std::size_t h = std::hash<std::string>{}(key.name());
        return h ^ (std::hash<const void*>{}(&key.suite()) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
