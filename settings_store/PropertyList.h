#pragma once
// Property-list values: the only kinds the settings store keeps on disk.
//
// One value type holds a boolean, a 64-bit integer, a real, a string, bytes, a
// date, an array or a dictionary with string keys. Equality is exact: the kinds must
// match (an integer 1 is not the real 1.0, nor the boolean true).

#include <compare>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace overlook {

// A point in time, to the whole second (the resolution the XML form keeps).
struct Date {
    std::int64_t secondsSince1970 = 0;
    auto operator<=>(const Date&) const = default;
};

using Data = std::vector<std::uint8_t>;

class PropertyList {
public:
    enum class Kind { Boolean, Integer, Real, String, Data, Date, Array, Dictionary };
    using Array = std::vector<PropertyList>;
    using Dictionary = std::map<std::string, PropertyList>;

    PropertyList() : value_(Dictionary{}) {}
    PropertyList(bool v) : value_(v) {}
    template <std::integral I>
        requires(!std::same_as<I, bool>)
    PropertyList(I v) : value_(static_cast<std::int64_t>(v)) {}
    PropertyList(double v) : value_(v) {}
    PropertyList(float v) : value_(static_cast<double>(v)) {}
    PropertyList(std::string v) : value_(std::move(v)) {}
    PropertyList(std::string_view v) : value_(std::string(v)) {}
    PropertyList(const char* v) : value_(std::string(v)) {}
    PropertyList(overlook::Data v) : value_(std::move(v)) {}
    PropertyList(overlook::Date v) : value_(v) {}
    PropertyList(Array v) : value_(std::move(v)) {}
    PropertyList(Dictionary v) : value_(std::move(v)) {}

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    bool is(Kind k) const { return kind() == k; }

    // The held value when it is of kind T, else nullptr. T is one of bool,
    // std::int64_t, double, std::string, Data, Date, Array, Dictionary.
    template <class T>
    const T* get() const {
        return std::get_if<T>(&value_);
    }
    template <class T>
    T* get() {
        return std::get_if<T>(&value_);
    }

    bool operator==(const PropertyList&) const = default;

    // A readable, multi-line rendering for people (the `defaults` command).
    std::string describe(int indent = 0) const;

private:
    std::variant<bool, std::int64_t, double, std::string, overlook::Data, overlook::Date, Array, Dictionary>
        value_;
};

const char* kindName(PropertyList::Kind kind);

// Why `value` cannot be written to the store (a string or key that is not valid
// UTF-8 or holds characters XML cannot carry, a date outside the file format's
// range, nesting too deep), or nothing when it can.
std::optional<std::string> unstorableReason(const PropertyList& value);

// The XML property-list form of a dictionary. The value must be storable.
std::string toXml(const PropertyList::Dictionary& dictionary);
// A self-describing binary form of any storable value.
Data toBinary(const PropertyList& value);

// A parsed document or what was wrong with it.
struct ParsedPropertyList {
    std::optional<PropertyList> value;
    std::string error;
};
// Reads an XML or binary property list (told apart by their first bytes).
ParsedPropertyList parsePropertyList(std::string_view bytes);

} // namespace overlook
