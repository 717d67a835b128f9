#include "settings_store/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <sstream>

namespace overlook {

namespace {

// The file format counts dates in signed 32-bit seconds from 2001-01-01.
constexpr std::int64_t kReferenceDate = 978307200;
// Deeper documents are refused rather than risk the stack, here and in libplist.
constexpr int kMaxDepth = 128;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// XML 1.0 cannot carry most control characters, and libplist would write them
// verbatim into a file it then cannot read back, so they are refused up front.
std::optional<std::string> textProblem(const std::string& s, const char* what) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        unsigned c = *p;
        int extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return std::string(what) + " holds control character " + std::to_string(c);
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return std::string(what) + " is not valid UTF-8";
        }
        if (end - p <= extra)
            return std::string(what) + " is not valid UTF-8";
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return std::string(what) + " is not valid UTF-8";
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::string(what) + " is not valid UTF-8";
        if (cp == 0xFFFE || cp == 0xFFFF)
            return std::string(what) + " holds a character XML cannot carry";
        p += extra + 1;
    }
    return std::nullopt;
}

std::optional<std::string> problem(const PropertyList& v, int depth) {
    if (depth > kMaxDepth)
        return "nesting deeper than " + std::to_string(kMaxDepth) + " levels";
    if (auto* s = v.get<std::string>())
        return textProblem(*s, "a string");
    if (auto* d = v.get<Date>()) {
        const std::int64_t rel = d->secondsSince1970 - kReferenceDate;
        if (rel < std::numeric_limits<std::int32_t>::min() || rel > std::numeric_limits<std::int32_t>::max())
            return "a date outside 1933-2069";
    }
    if (auto* r = v.get<double>(); r && !std::isfinite(*r))
        return "a real that is not finite";
    if (auto* a = v.get<PropertyList::Array>())
        for (const auto& item : *a)
            if (auto p = problem(item, depth + 1))
                return p;
    if (auto* dict = v.get<PropertyList::Dictionary>())
        for (const auto& [key, item] : *dict) {
            if (auto p = textProblem(key, "a key"))
                return p;
            if (auto p = problem(item, depth + 1))
                return p;
        }
    return std::nullopt;
}

plist_t toNode(const PropertyList& v) {
    switch (v.kind()) {
    case PropertyList::Kind::Boolean:
        return plist_new_bool(*v.get<bool>() ? 1 : 0);
    case PropertyList::Kind::Integer:
        // libplist keeps integers as unsigned; the bit pattern of a negative
        // number is written and read back as that negative number.
        return plist_new_uint(static_cast<std::uint64_t>(*v.get<std::int64_t>()));
    case PropertyList::Kind::Real:
        return plist_new_real(*v.get<double>());
    case PropertyList::Kind::String:
        return plist_new_string(v.get<std::string>()->c_str());
    case PropertyList::Kind::Data: {
        const Data& d = *v.get<Data>();
        return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case PropertyList::Kind::Date:
        return plist_new_date(static_cast<std::int32_t>(v.get<Date>()->secondsSince1970 - kReferenceDate), 0);
    case PropertyList::Kind::Array: {
        plist_t a = plist_new_array();
        for (const auto& item : *v.get<PropertyList::Array>())
            plist_array_append_item(a, toNode(item));
        return a;
    }
    case PropertyList::Kind::Dictionary: {
        plist_t d = plist_new_dict();
        for (const auto& [key, item] : *v.get<PropertyList::Dictionary>())
            plist_dict_set_item(d, key.c_str(), toNode(item));
        return d;
    }
    }
    return nullptr;
}

std::optional<PropertyList> fromNode(plist_t node, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "nesting deeper than " + std::to_string(kMaxDepth) + " levels";
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return PropertyList(b != 0);
    }
    case PLIST_UINT: {
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return PropertyList(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return PropertyList(d);
    }
    case PLIST_STRING: {
        // Read by length: libplist asserts (and aborts the process) when a string
        // holds a NUL character and is fetched as a C string.
        std::uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        return PropertyList(std::string(s ? s : "", s ? length : 0));
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        Data d(bytes, bytes + (bytes ? length : 0));
        std::free(bytes);
        return PropertyList(std::move(d));
    }
    case PLIST_DATE: {
        std::int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return PropertyList(Date{static_cast<std::int64_t>(sec) + kReferenceDate});
    }
    case PLIST_ARRAY: {
        PropertyList::Array items;
        const std::uint32_t n = plist_array_get_size(node);
        items.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            auto item = fromNode(plist_array_get_item(node, i), depth + 1, error);
            if (!item)
                return std::nullopt;
            items.push_back(std::move(*item));
        }
        return PropertyList(std::move(items));
    }
    case PLIST_DICT: {
        PropertyList::Dictionary items;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        std::optional<PropertyList> result;
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                std::free(key);
                result = PropertyList(std::move(items));
                break;
            }
            std::string name = key ? key : "";
            std::free(key);
            auto item = fromNode(value, depth + 1, error);
            if (!item)
                break;
            items.insert_or_assign(std::move(name), std::move(*item));
        }
        std::free(it);
        return result;
    }
    default:
        error = "an element of a kind the store does not hold";
        return std::nullopt;
    }
}

// Whether the document starts as an XML property list does (after a byte-order mark
// and white space): anything else is no property list, whatever its '<' characters.
bool looksLikeXml(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    while (!bytes.empty() && (bytes[0] == ' ' || bytes[0] == '\t' || bytes[0] == '\n' || bytes[0] == '\r'))
        bytes.remove_prefix(1);
    return bytes.starts_with("<?xml") || bytes.starts_with("<!") || bytes.starts_with("<plist");
}

// Rough nesting depth of an XML or binary document, measured before libplist
// parses it recursively.
bool tooDeep(std::string_view bytes) {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] != '<')
            continue;
        const char c = bytes[i + 1];
        if (c == '/') {
            depth = depth > 0 ? depth - 1 : 0;
        } else if (c != '?' && c != '!') {
            std::size_t close = bytes.find('>', i);
            if (close == std::string_view::npos)
                break;
            if (bytes[close - 1] != '/' && ++depth > kMaxDepth + 4)
                return true;
        }
    }
    return false;
}

void appendEscaped(std::ostringstream& out, const std::string& s) {
    out << '"';
    for (char c : s) {
        if (c == '"' || c == '\\')
            out << '\\' << c;
        else if (c == '\n')
            out << "\\n";
        else if (c == '\t')
            out << "\\t";
        else if (c == '\r')
            out << "\\r";
        else
            out << c;
    }
    out << '"';
}

std::string formatDate(const Date& d) {
    const std::time_t t = static_cast<std::time_t>(d.secondsSince1970);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

void describeInto(std::ostringstream& out, const PropertyList& v, int indent) {
    const std::string pad(static_cast<std::size_t>(indent) * 4, ' ');
    switch (v.kind()) {
    case PropertyList::Kind::Boolean:
        out << (*v.get<bool>() ? "1" : "0");
        break;
    case PropertyList::Kind::Integer:
        out << *v.get<std::int64_t>();
        break;
    case PropertyList::Kind::Real: {
        char buf[40];
        // The shortest text that reads back the same number.
        for (int precision = 1; precision <= 17; ++precision) {
            std::snprintf(buf, sizeof buf, "%.*g", precision, *v.get<double>());
            if (std::strtod(buf, nullptr) == *v.get<double>())
                break;
        }
        out << buf;
        break;
    }
    case PropertyList::Kind::String:
        appendEscaped(out, *v.get<std::string>());
        break;
    case PropertyList::Kind::Data: {
        out << "{length = " << v.get<Data>()->size() << ", bytes = 0x";
        char hex[3];
        for (std::uint8_t b : *v.get<Data>()) {
            std::snprintf(hex, sizeof hex, "%02x", b);
            out << hex;
        }
        out << "}";
        break;
    }
    case PropertyList::Kind::Date:
        out << formatDate(*v.get<Date>());
        break;
    case PropertyList::Kind::Array: {
        const auto& a = *v.get<PropertyList::Array>();
        out << "(";
        for (std::size_t i = 0; i < a.size(); ++i) {
            out << "\n" << pad << "    ";
            describeInto(out, a[i], indent + 1);
            if (i + 1 < a.size())
                out << ",";
        }
        out << (a.empty() ? "" : "\n" + pad) << ")";
        break;
    }
    case PropertyList::Kind::Dictionary: {
        const auto& d = *v.get<PropertyList::Dictionary>();
        out << "{";
        for (const auto& [key, item] : d) {
            out << "\n" << pad << "    ";
            appendEscaped(out, key);
            out << " = ";
            describeInto(out, item, indent + 1);
            out << ";";
        }
        out << (d.empty() ? "" : "\n" + pad) << "}";
        break;
    }
    }
}

} // namespace

const char* kindName(PropertyList::Kind kind) {
    static constexpr const char* kNames[] = {"boolean", "integer", "real",  "string",
                                             "data",    "date",    "array", "dictionary"};
    return kNames[static_cast<int>(kind)];
}

std::string PropertyList::describe(int indent) const {
    std::ostringstream out;
    describeInto(out, *this, indent);
    return out.str();
}

std::optional<std::string> unstorableReason(const PropertyList& value) { return problem(value, 0); }

std::string toXml(const PropertyList::Dictionary& dictionary) {
    PlistPtr root(toNode(PropertyList(dictionary)));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string text(xml ? xml : "", xml ? length : 0);
    std::free(xml);
    return text;
}

Data toBinary(const PropertyList& value) {
    PlistPtr root(toNode(value));
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &bin, &length);
    Data bytes(bin, bin + (bin ? length : 0));
    std::free(bin);
    return bytes;
}

ParsedPropertyList parsePropertyList(std::string_view bytes) {
    ParsedPropertyList result;
    if (bytes.empty()) {
        result.error = "the document is empty";
        return result;
    }
    plist_t root = nullptr;
    const bool binary = bytes.size() >= 8 && bytes.substr(0, 6) == "bplist";
    if (!binary && !looksLikeXml(bytes)) {
        result.error = "not a property list (neither XML nor binary)";
        return result;
    }
    if (!binary && tooDeep(bytes)) {
        result.error = "nesting deeper than " + std::to_string(kMaxDepth) + " levels";
        return result;
    }
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        result.error = "the document is too large";
        return result;
    }
    if (binary)
        plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    else
        plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    PlistPtr owner(root);
    if (!root) {
        result.error = binary ? "not a valid binary property list" : "not a valid XML property list";
        return result;
    }
    result.value = fromNode(root, 0, result.error);
    return result;
}

} // namespace overlook
