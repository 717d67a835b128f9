#pragma once
// Helpers for tests that run the real programs.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace overlook::test {

// A fresh /tmp/overlook-<purpose>-XXXXXX, removed with its contents.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& purpose);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Variables set (an empty value unsets) for the object's lifetime.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::map<std::string, std::string>& variables);
    ~ScopedEnvironment();

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// `command` through sh with `environment` added, its output into `log` (or /dev/null).
pid_t spawn(const std::string& command, const std::map<std::string, std::string>& environment,
            const std::filesystem::path& log = {});
// SIGTERM and wait; nothing for pid <= 0.
void stop(pid_t pid);
// The exit status of a process that ends within `limitMs`, else -1 (left running).
int exitStatusWithin(pid_t pid, int limitMs);
std::string shellOutput(const std::string& command, int* status = nullptr);
std::string readFile(const std::filesystem::path& path);
int occurrences(const std::string& text, const std::string& word);

template <class Predicate>
bool waitFor(Predicate predicate, int limitMs = 8000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return predicate();
}

} // namespace overlook::test
