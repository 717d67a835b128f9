#include "CommandLine/AppLauncher.h"


#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace overlook {

namespace {

// Beside this program (a build tree), in ../libexec/overlook relative to it (an
// installed tree, wherever its prefix), else where the configured prefix puts it.
std::filesystem::path applicationProgram() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        for (const auto& candidate : {self.parent_path() / "overlook-app",
                                      self.parent_path() / ".." / "libexec" / "overlook" / "overlook-app"})
            if (std::filesystem::exists(candidate))
                return candidate;
    }
    return std::filesystem::path(OVERLOOK_LIBEXEC_DIR) / "overlook-app";
}

} // namespace

int runApplicationProgram(const std::vector<std::string>& args) {
    const std::string program = applicationProgram();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    std::fprintf(stderr, "overlook: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
    return 1;
}

int runPreviewInApplicationProgram(const std::vector<std::string>& args) {
    std::vector<std::string> forwarded{"preview"};
    forwarded.insert(forwarded.end(), args.begin(), args.end());
    return runApplicationProgram(forwarded);
}

} // namespace overlook
