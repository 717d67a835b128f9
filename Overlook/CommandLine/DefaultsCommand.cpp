#include "Overlook/CommandLine/DefaultsCommand.h"

#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/PreferenceKeys.h"
#include "Overlook/StreamQuality.h"
#include "settings_store/UserDefaults.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <strings.h>

namespace overlook {

namespace {

PropertyList parseValue(const std::string& text, const std::string& type) {
    if (type == "string")
        return text;
    if (type == "bool") {
        for (const char* yes : {"true", "yes", "1"})
            if (strcasecmp(text.c_str(), yes) == 0)
                return true;
        for (const char* no : {"false", "no", "0"})
            if (strcasecmp(text.c_str(), no) == 0)
                return false;
        throw UsageError{"'" + text + "' is not a boolean (true, false, yes, no, 1 or 0)"};
    }
    char* end = nullptr;
    errno = 0;
    if (type == "int") {
        const long long v = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno == ERANGE)
            throw UsageError{"'" + text + "' is not an integer"};
        return static_cast<std::int64_t>(v);
    }
    if (type == "float") {
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
            throw UsageError{"'" + text + "' is not a finite number"};
        return v;
    }
    throw UsageError{"unknown type '" + type + "' (bool, int, float or string)"};
}

// The application's own settings take one kind of value each, and only values it can
// use; `overlook defaults write` refuses anything else for them (exit 1) rather than
// leave the application to replace it at every start. Other keys are written as given.
struct OwnSetting {
    enum class Kind { boolean, number, colour } kind;
    // Why a number cannot be used, or nothing when it can.
    std::optional<std::string> (*check)(double) = nullptr;
};

std::optional<std::string> checkScale(double v) {
    if (streamQualityFromRawValue(v))
        return std::nullopt;
    return "must be 1, 2, 4 or 8 (full, half, quarter or eighth resolution)";
}

std::optional<std::string> checkCrosshairWeight(double v) {
    if (v >= preferences::kMinimumCrosshairWeight && v <= preferences::kMaximumCrosshairWeight)
        return std::nullopt;
    return "must be between " + std::to_string(preferences::kMinimumCrosshairWeight) + " and " +
           std::to_string(preferences::kMaximumCrosshairWeight);
}

const OwnSetting* ownSetting(const std::string& key) {
    using Kind = OwnSetting::Kind;
    static const std::map<std::string, OwnSetting> settings = {
        {"displayCrosshair", {Kind::boolean}},
        {"scale", {Kind::number, checkScale}},
        {"crosshairColor", {Kind::colour}},
        {"crosshairWeight", {Kind::number, checkCrosshairWeight}},
        {preferences::kHideMainDisplay, {Kind::boolean}},
        {preferences::kAutoPlay, {Kind::boolean}},
        {preferences::kDesaturationPausedStream, {Kind::boolean}},
    };
    const auto it = settings.find(key);
    return it == settings.end() ? nullptr : &it->second;
}

struct Refusal {
    std::string message;
};

// The value for one of the application's settings; `type` is what --type said, if
// anything (without it the setting's own kind is used).
PropertyList ownValue(const std::string& key, const OwnSetting& setting, const std::string& text,
                      const std::optional<std::string>& type) {
    const std::string quoted = "\"" + key + "\"";
    switch (setting.kind) {
    case OwnSetting::Kind::colour:
        throw Refusal{quoted + " holds a list of colour components, which this command cannot write; "
                               "choose the colour in the preferences window"};
    case OwnSetting::Kind::boolean:
        if (type && *type != "bool")
            throw Refusal{quoted + " takes a boolean (--type bool), not a value of type " + *type};
        try {
            return parseValue(text, "bool");
        } catch (const UsageError&) {
            if (type)
                throw; // text that does not fit --type is a usage error, as for any key
            throw Refusal{quoted + " takes a boolean (true, false, yes, no, 1 or 0), not '" + text + "'"};
        }
    case OwnSetting::Kind::number:
        break;
    }
    if (type && *type != "float" && *type != "int")
        throw Refusal{quoted + " takes a number (--type float or int), not a value of type " + *type};
    PropertyList value;
    try {
        value = parseValue(text, type.value_or("float"));
    } catch (const UsageError&) {
        if (type)
            throw;
        throw Refusal{quoted + " takes a finite number, not '" + text + "'"};
    }
    const double number = value.get<double>() ? *value.get<double>() : static_cast<double>(*value.get<std::int64_t>());
    if (auto why = setting.check(number))
        throw Refusal{quoted + " " + *why + ", not " + text};
    return value;
}

// The command never needs another process's changes pushed to it, so it opens the
// suite without watching the folder.
std::shared_ptr<UserDefaults> settings() {
    return UserDefaults::open(UserDefaults::defaultDirectory(), UserDefaults::kStandardSuite);
}

int finish(UserDefaults& store) {
    if (!store.synchronize()) {
        std::fprintf(stderr, "overlook defaults: could not write %s\n", store.path().c_str());
        return 1;
    }
    return 0;
}

} // namespace

int runDefaultsCommand(const std::vector<std::string>& args) {
    OptionReader options(args);
    const auto verb = options.positional();
    if (!verb)
        throw UsageError{"defaults needs read, write or delete"};
    std::vector<std::string> operands;
    std::optional<std::string> type;
    while (!options.done()) {
        if (auto operand = options.positional()) {
            operands.push_back(*operand);
            continue;
        }
        const std::string name = options.next();
        if (name == "--type" && *verb == "write") {
            type = options.value();
            if (*type != "bool" && *type != "int" && *type != "float" && *type != "string")
                throw UsageError{"unknown type '" + *type + "' (bool, int, float or string)"};
        }
        else
            throw UsageError{"unknown option '" + name + "'"};
    }

    if (*verb == "read") {
        if (operands.size() > 1)
            throw UsageError{"defaults read takes at most one key"};
        auto store = settings();
        if (operands.empty()) {
            std::printf("%s\n", PropertyList(store->persistentDomain()).describe().c_str());
            return 0;
        }
        const auto domain = store->persistentDomain();
        const auto it = domain.find(operands[0]);
        if (it == domain.end()) {
            std::fprintf(stderr, "overlook defaults: there is no setting \"%s\"\n", operands[0].c_str());
            return 1;
        }
        std::printf("%s\n", it->second.describe().c_str());
        return 0;
    }
    if (*verb == "write") {
        if (operands.size() != 2)
            throw UsageError{"defaults write needs a key and a value"};
        PropertyList value;
        if (const OwnSetting* own = ownSetting(operands[0])) {
            try {
                value = ownValue(operands[0], *own, operands[1], type);
            } catch (const Refusal& refusal) {
                std::fprintf(stderr, "overlook defaults: %s\n", refusal.message.c_str());
                return 1;
            }
        } else {
            value = parseValue(operands[1], type.value_or("string"));
        }
        auto store = settings();
        if (const StoreResult result = store->set(operands[0], value); !result) {
            std::fprintf(stderr, "overlook defaults: %s\n", result.error.c_str());
            return 1;
        }
        return finish(*store);
    }
    if (*verb == "delete") {
        if (operands.size() != 1)
            throw UsageError{"defaults delete needs a key"};
        auto store = settings();
        if (!store->persistentDomain().count(operands[0])) {
            std::fprintf(stderr, "overlook defaults: there is no setting \"%s\"\n", operands[0].c_str());
            return 1;
        }
        store->removeObject(operands[0]);
        return finish(*store);
    }
    throw UsageError{"unknown defaults action '" + *verb + "' (read, write or delete)"};
}

} // namespace overlook
