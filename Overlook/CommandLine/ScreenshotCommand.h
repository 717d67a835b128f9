#pragma once
// The screenshot of all displays as a file: its name from the date and time, its
// folder (the XDG desktop directory), and `overlook screenshot [--output FILE]`.
// A screenshot never replaces an existing file: a second one in the same second
// gets " (2)", then " (3)"… before the extension.

#include "Tessera/ImagePng.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace overlook {

class DispatchQueue;

// "Screen Shot 2024-05-01 at 14.03.27" for that local time.
std::string screenshotBaseName(std::time_t when);

// The user's desktop folder (xdg-user-dir DESKTOP, else $HOME/Desktop), created
// when missing. Sets `error` and returns nothing when there is no such folder.
std::optional<std::string> desktopDirectory(std::string& error);

// "<dir>/<base>.png" for n = 1, "<dir>/<base> (n).png" after that.
std::string numberedPath(const std::string& directory, const std::string& base, int n);

struct SavedFile {
    std::string path;  // set when written
    std::string error; // set when nothing was written
};
// Writes the PNG under the first free numbered name in `directory`.
SavedFile writeUniquely(const std::string& directory, const std::string& base, const PngData& png);

// The whole screenshot command: snapshot now (call on the main thread), then encode
// and write; `done` gets the outcome. With a worker queue the encoding and the
// write run there and `done` is called back on the main queue; without one all of
// it runs at once.
class DispatchQueue;
void captureAllDisplays(std::time_t when, DispatchQueue* worker, std::function<void(const SavedFile&)> done);

int runScreenshotCommand(const std::vector<std::string>& args);

} // namespace overlook
