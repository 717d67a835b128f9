#pragma once
// The standard settings suite lives for the whole process, so each test program gets
// one private settings folder before anything opens it.

#include "tests/settings_store/TempSettings.h"

namespace overlook::test {

inline TempSettings& processSettingsFolder() {
    static TempSettings folder;
    return folder;
}

} // namespace overlook::test
