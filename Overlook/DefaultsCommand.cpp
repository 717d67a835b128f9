#include "Overlook/DefaultsCommand.h"

#include "Overlook/CommandLine.h"
#include "settings_store/UserDefaults.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
    std::string type = "string";
    while (!options.done()) {
        if (auto operand = options.positional()) {
            operands.push_back(*operand);
            continue;
        }
        const std::string name = options.next();
        if (name == "--type" && *verb == "write")
            type = options.value();
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
        const PropertyList value = parseValue(operands[1], type);
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
