#pragma once
// The four preview resolutions offered for the "scale" setting. The raw value is
// the divisor applied to a display's size to get its stream size.

#include "settings_store/Defaults.h"

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace overlook {

enum class StreamQuality { full, half, quarter, eighth };

inline constexpr std::array<StreamQuality, 4> kAllStreamQualities = {StreamQuality::full, StreamQuality::half,
                                                                     StreamQuality::quarter, StreamQuality::eighth};

double rawValue(StreamQuality quality);
// Exactly 1, 2, 4 or 8; nothing for any other number.
std::optional<StreamQuality> streamQualityFromRawValue(double raw);
// The identity of a case is its raw value.
inline double id(StreamQuality quality) { return rawValue(quality); }
// "Full-resolution", "Half-resolution", ...
const char* description(StreamQuality quality);
// The coding key of a case: "full", "half", "quarter", "eighth".
const char* codingKey(StreamQuality quality);

// A decoding failure with the type it was decoding and where in the document.
struct DecodingError : std::runtime_error {
    enum class Kind { typeMismatch, dataCorrupted };
    DecodingError(Kind kind, std::string type, std::vector<std::string> codingPath, std::string debugDescription)
        : std::runtime_error(debugDescription), kind(kind), type(std::move(type)), codingPath(std::move(codingPath)),
          debugDescription(std::move(debugDescription)) {}
    Kind kind;
    std::string type;
    std::vector<std::string> codingPath;
    std::string debugDescription;
};

// Keyed by case name: `half` is {"half":{}}. Decoding throws DecodingError.
void to_json(nlohmann::json& j, StreamQuality quality);
void from_json(const nlohmann::json& j, StreamQuality& quality);

// Stored through the JSON bridge, as the text of its coded form.
template <>
struct Defaults::Serializable<StreamQuality> : Defaults::BridgedBy<Defaults::TopLevelCodableBridge<StreamQuality>> {};

} // namespace overlook
