#pragma once
// The standard suite lives as long as the process: one folder, made before anything opens it.

#include "tests/settings_store/TempSettings.h"

namespace overlook::test {

inline TempSettings& processSettingsFolder() {
    static TempSettings folder;
    return folder;
}

} // namespace overlook::test
