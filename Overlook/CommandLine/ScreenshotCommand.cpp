#include "ScreenshotCommand.h"

#include "Foundation/DispatchQueue.h"
#include "Foundation/MainQueue.h"
#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/LocalDisplayManager.h"
#include "Tessera/CaptureService.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace overlook {

namespace {

constexpr int kMaxNumberedNames = 10000;

// The first line `command` prints, without its line feed; empty on failure.
std::string firstLineOf(const char* command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command, "r"), pclose);
    if (!pipe)
        return {};
    char line[4096];
    if (!std::fgets(line, sizeof line, pipe.get()))
        return {};
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

std::string screenshotBaseName(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::strftime(text, sizeof text, "Screen Shot %Y-%m-%d at %H.%M.%S", &local);
    return text;
}

std::optional<std::string> desktopDirectory(std::string& error) {
    const char* home = std::getenv("HOME");
    std::string dir = firstLineOf("xdg-user-dir DESKTOP 2>/dev/null");
    // xdg-user-dir answers $HOME itself when no desktop folder is configured.
    const bool configured = !dir.empty() && dir.front() == '/' && !(home && dir == std::filesystem::path(home));
    if (!configured) {
        if (!home || !*home) {
            error = "Cannot find the desktop folder: HOME is not set";
            return std::nullopt;
        }
        dir = std::string(home) + "/Desktop";
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec)) {
        error = "Cannot create the desktop folder " + dir + ": " + (ec ? ec.message() : "not a folder");
        return std::nullopt;
    }
    return dir;
}

std::string numberedPath(const std::string& directory, const std::string& base, int n) {
    std::string name = base;
    if (n > 1)
        name += " (" + std::to_string(n) + ")";
    return (std::filesystem::path(directory) / (name + ".png")).string();
}

SavedFile writeUniquely(const std::string& directory, const std::string& base, const PngData& png) {
    for (int n = 1; n <= kMaxNumberedNames; ++n) {
        const std::string path = numberedPath(directory, base, n);
        std::error_code ec;
        if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found)
            continue;
        int code = 0;
        auto error = writeNewFile(path, png.data(), png.size, &code);
        if (!error)
            return {path, {}};
        // Another writer took the name between the check and the create: next one.
        if (code == EEXIST)
            continue;
        return {{}, *error};
    }
    return {{}, "Every name for " + base + " is taken in " + directory};
}

void captureAllDisplays(std::time_t when, DispatchQueue* worker, std::function<void(const SavedFile&)> done) {
    std::string error;
    const auto directory = desktopDirectory(error);
    if (!directory) {
        done({{}, error});
        return;
    }
    // The snapshot reads the screen now; the slow part, encoding, can wait.
    std::string failure;
    auto bitmap = LocalDisplayManager::desktopSnapshot(LocalDisplay::allDisplays(), &failure);
    if (!bitmap) {
        done({{}, failure});
        return;
    }
    auto finish = [bitmap = std::make_shared<DesktopBitmap>(std::move(*bitmap)), dir = *directory,
                   base = screenshotBaseName(when)]() {
        const PngData png = encodePng(bitmap->pixels(), bitmap->alphaUndefined ? Alpha::Ignore : Alpha::Check);
        if (png.size == 0)
            return SavedFile{{}, "The screenshot could not be encoded"};
        return writeUniquely(dir, base, png);
    };
    if (!worker) {
        done(finish());
        return;
    }
    const bool queued = worker->async([finish, done] {
        SavedFile saved = finish();
        mainQueue().async([done, saved] { done(saved); });
    });
    if (!queued)
        done({{}, "The screenshot queue has stopped"});
}

int runScreenshotCommand(const std::vector<std::string>& args) {
    std::optional<std::string> output;
    std::optional<BackendChoice> backend;
    for (OptionReader options(args); !options.done();) {
        const std::string name = options.next();
        if (name == "--output")
            output = options.value();
        else if (name == "--backend")
            backend = backendOption(options.value());
        else
            throw UsageError{"unknown option '" + name + "'"};
    }
    if (output && output->empty())
        throw UsageError{"--output needs a file name"};
    if (!setUpBackend(backend, 30, Capture::SnapshotsOnly))
        return 1;

    SavedFile saved;
    if (output) {
        const auto result = LocalDisplayManager::writeDesktopScreenshot(*output);
        if (result.written)
            saved.path = *output;
        else
            saved.error = result.error.empty() ? "There is no display to capture" : result.error;
    } else {
        captureAllDisplays(std::time(nullptr), nullptr, [&saved](const SavedFile& s) { saved = s; });
    }
    if (saved.path.empty()) {
        // A capture service that cannot capture at all (the desktop portal refused) says why.
        if (captureService() && captureService()->failure())
            saved.error = *captureService()->failure();
        std::fprintf(stderr, "overlook: %s\n", saved.error.c_str());
        return 1;
    }
    std::printf("%s\n", saved.path.c_str());
    return 0;
}

} // namespace overlook
