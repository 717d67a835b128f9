#include "LoginItem.h"

#include "Overlook/InstalledData.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace overlook {

namespace fs = std::filesystem;

fs::path LoginItem::entryPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    fs::path base;
    if (config && *config == '/')
        base = config;
    else if (const char* home = std::getenv("HOME"); home && *home == '/')
        base = fs::path(home) / ".config";
    else
        return {};
    return base / "autostart" / "overlook.desktop";
}

fs::path LoginItem::sourcePath() {
    const fs::path installed = installedDataDir().parent_path() / "applications" / "overlook.desktop";
    if (fs::exists(installed))
        return installed;
    return fs::path(OVERLOOK_SOURCE_DIR) / "Overlook" / "resources" / "overlook.desktop";
}

bool LoginItem::isEnabled() {
    std::ifstream in(entryPath());
    if (!in)
        return false;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Hidden=", 0) == 0 && line.substr(7) == "true")
            return false;
    return true;
}

std::optional<std::string> LoginItem::setEnabled(bool enabled) {
    const fs::path entry = entryPath();
    if (entry.empty())
        return "there is no folder for autostart entries (neither XDG_CONFIG_HOME nor HOME is set)";
    std::error_code ec;
    if (!enabled) {
        fs::remove(entry, ec);
        if (ec)
            return "cannot remove " + entry.string() + ": " + ec.message();
        return std::nullopt;
    }
    std::ifstream in(sourcePath());
    if (!in)
        return "cannot read " + sourcePath().string();
    std::ostringstream read;
    read << in.rdbuf();
    std::string text = read.str();
    // The installed entry names the installed program; the source tree's says only
    // "overlook", which a login session finds only on its PATH: name the launcher beside
    // the running program instead (a build tree), quoted as the format quotes an argument.
    std::error_code self;
    const fs::path launcher = fs::read_symlink("/proc/self/exe", self).parent_path() / "overlook";
    if (!self && text.find("\nExec=overlook\n") != std::string::npos && fs::is_regular_file(launcher)) {
        std::string quoted = "\"";
        for (char c : launcher.string()) {
            // Escaped for the argument, then each backslash again for the entry's value.
            if (c == '\\')
                quoted += "\\\\\\\\";
            else if (c == '"' || c == '`' || c == '$')
                quoted += std::string("\\\\") + c;
            else
                quoted += c == '%' ? std::string("%%") : std::string(1, c);
        }
        quoted += '"';
        text.replace(text.find("\nExec=overlook\n"), 15, "\nExec=" + quoted + "\n");
    }
    fs::create_directories(entry.parent_path(), ec);
    if (ec)
        return "cannot make " + entry.parent_path().string() + ": " + ec.message();
    // Written beside it and renamed: a session starting meanwhile reads all or nothing.
    const fs::path temporary = entry.string() + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out.flush())
            return "cannot write " + temporary.string();
    }
    fs::rename(temporary, entry, ec);
    if (ec) {
        fs::remove(temporary);
        return "cannot write " + entry.string() + ": " + ec.message();
    }
    return std::nullopt;
}

} // namespace overlook
