#include "Overlook/InstalledData.h"

namespace overlook {

std::filesystem::path installedDataDir() {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        // bin/overlook and libexec/overlook/overlook-app.
        for (const fs::path& candidate : {self.parent_path().parent_path() / "share" / "overlook",
                                          self.parent_path().parent_path().parent_path() / "share" / "overlook"})
            if (fs::is_directory(candidate, error))
                return candidate;
    }
    return OVERLOOK_DATA_DIR;
}

} // namespace overlook
