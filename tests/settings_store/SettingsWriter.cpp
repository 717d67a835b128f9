// A second process for the multi-process tests: writes to a suite the way another
// instance of the application (or `overlook defaults write`) would.
//
//   settings_writer DIR SUITE set KEY INTEGER        one write, made durable
//   settings_writer DIR SUITE keys PREFIX COUNT      COUNT keys, each made durable
//   settings_writer DIR SUITE loop                   writes until killed; after each
//                                                    durable write prints its number

#include "settings_store/UserDefaults.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    auto store = overlook::UserDefaults::open(argv[1], argv[2]);
    const std::string mode = argv[3];
    if (mode == "set" && argc == 6) {
        store->set(argv[4], std::atoll(argv[5]));
        return store->synchronize() ? 0 : 1;
    }
    for (std::int64_t i = 0; mode == "keys" && argc == 6 && i < std::atoi(argv[5]); ++i)
        if (store->set(argv[4] + std::to_string(i), i); !store->synchronize())
            return 1;
    for (std::int64_t i = 1; mode == "loop"; ++i) {
        store->set("counter", i);
        store->set("slot" + std::to_string(i % 64), i);
        // A bulky value, so that a kill often lands in the middle of a write.
        store->set("payload", std::string(static_cast<std::size_t>(2000 + i % 2000), 'x'));
        if (!store->synchronize())
            return 1;
        std::printf("%lld\n", static_cast<long long>(i));
        std::fflush(stdout);
    }
    return mode == "keys" ? 0 : 2;
}
