// settings_writer DIR SUITE (set KEY INTEGER | keys PREFIX COUNT | loop): another process writing a suite.

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
        // Bulky, so that a kill often lands mid-write.
        store->set("payload", std::string(static_cast<std::size_t>(2000 + i % 2000), 'x'));
        if (!store->synchronize())
            return 1;
        std::printf("%lld\n", static_cast<long long>(i));
        std::fflush(stdout);
    }
    return mode == "keys" ? 0 : 2;
}
