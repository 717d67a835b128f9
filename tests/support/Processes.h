#pragma once
// Process and folder helpers for tests that run the real programs: start a command
// with its own environment, stop it, wait for it, read what it wrote.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace overlook::test {

// A fresh folder under /tmp ("/tmp/overlook-<purpose>-XXXXXX"), removed with its
// contents when the object goes.
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

// This process's environment variables set (an empty value unsets) for the object's
// lifetime, then put back as they were.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::map<std::string, std::string>& variables);
    ~ScopedEnvironment();

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// Starts `command` through sh with `environment` added, standard output and error
// into `log` (or /dev/null when empty).
pid_t spawn(const std::string& command, const std::map<std::string, std::string>& environment,
            const std::filesystem::path& log = {});
// SIGTERM and wait; nothing for pid <= 0.
void stop(pid_t pid);
// The exit status of a process that ends within `limitMs`, else -1 (left running).
int exitStatusWithin(pid_t pid, int limitMs);
// Runs a shell command and returns its standard output; `status` gets its exit code.
std::string shellOutput(const std::string& command, int* status = nullptr);
std::string readFile(const std::filesystem::path& path);
// How many times `word` is in `text`.
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
