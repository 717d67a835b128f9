#pragma once
// Where the installed data (palette, fixture, launcher entry) lives: beside the
// running program's own tree, wherever its prefix (a package under /usr, a tree
// unpacked anywhere), else under the configured prefix.

#include <filesystem>

namespace overlook {

// share/overlook of the tree the program runs from, when it has one; otherwise the
// configured OVERLOOK_DATA_DIR (which may not exist, as in a build tree).
std::filesystem::path installedDataDir();

} // namespace overlook
