#include "Overlook/CommandLine/AppLauncher.h"


#include <cerrno>
#include <cstdlib>
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

// Large buffers (frames, snapshots, copies of a display) each a mapping of their
// own, given back to the system when freed. By default the allocator, once such a
// buffer was freed, serves that size from its heaps, where frames made on one
// thread and freed on another leave holes it keeps: the tray application grew
// by about 50 KB each time its preview opened and closed. Set before the program
// starts, as the allocator's own setting: mallopt at run time does not reach the
// heaps of the threads the toolkit has already started.
void keepLargeBuffersOutOfTheHeap() {
    constexpr const char* kSetting = "glibc.malloc.mmap_threshold=131072";
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (!tunables || !*tunables)
        setenv("GLIBC_TUNABLES", kSetting, 1);
    else if (!std::strstr(tunables, "glibc.malloc.mmap_threshold"))
        setenv("GLIBC_TUNABLES", (std::string(tunables) + ":" + kSetting).c_str(), 1);
}

} // namespace

int runApplicationProgram(const std::vector<std::string>& args) {
    const std::string program = applicationProgram();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    keepLargeBuffersOutOfTheHeap();
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
