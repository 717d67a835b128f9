#include "Overlook/StreamQuality.h"

namespace overlook {

double rawValue(StreamQuality quality) {
    switch (quality) {
    case StreamQuality::full:
        return 1.0;
    case StreamQuality::half:
        return 2.0;
    case StreamQuality::quarter:
        return 4.0;
    case StreamQuality::eighth:
        return 8.0;
    }
    return 4.0;
}

std::optional<StreamQuality> streamQualityFromRawValue(double raw) {
    for (StreamQuality q : kAllStreamQualities)
        if (rawValue(q) == raw)
            return q;
    return std::nullopt;
}

const char* description(StreamQuality quality) {
    switch (quality) {
    case StreamQuality::full:
        return "Full-resolution";
    case StreamQuality::half:
        return "Half-resolution";
    case StreamQuality::quarter:
        return "Quarter-resolution";
    case StreamQuality::eighth:
        return "Eighth-resolution";
    }
    return "";
}

const char* codingKey(StreamQuality quality) {
    static constexpr const char* kKeys[] = {"full", "half", "quarter", "eighth"};
    return kKeys[static_cast<int>(quality)];
}

void to_json(nlohmann::json& j, StreamQuality quality) {
    j = nlohmann::json::object({{codingKey(quality), nlohmann::json::object()}});
}

void from_json(const nlohmann::json& j, StreamQuality& quality) {
    if (!j.is_object())
        throw DecodingError(DecodingError::Kind::typeMismatch, "StreamQuality", {},
                            std::string("Expected to decode a keyed container but found ") + j.type_name() + ".");
    std::optional<StreamQuality> found;
    int recognised = 0;
    for (StreamQuality q : kAllStreamQualities)
        if (j.contains(codingKey(q))) {
            ++recognised;
            found = q;
        }
    if (recognised != 1)
        throw DecodingError(DecodingError::Kind::typeMismatch, "StreamQuality", {},
                            "Invalid number of keys found, expected one.");
    if (!j.at(codingKey(*found)).is_object())
        throw DecodingError(DecodingError::Kind::typeMismatch, "StreamQuality", {codingKey(*found)},
                            "Expected to decode a keyed container but found " +
                                std::string(j.at(codingKey(*found)).type_name()) + ".");
    quality = *found;
}

} // namespace overlook
