#pragma once
// A private settings folder for one test: XDG_CONFIG_HOME points at a fresh
// temporary directory while the object lives, so no test touches ~/.config.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace overlook::test {

class TempSettings {
public:
    TempSettings() {
        std::string templ = (std::filesystem::temp_directory_path() / "overlook-settings-XXXXXX").string();
        root_ = ::mkdtemp(templ.data());
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            previous_ = old;
        ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    ~TempSettings() {
        if (previous_)
            ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempSettings(const TempSettings&) = delete;
    TempSettings& operator=(const TempSettings&) = delete;

    // The folder the store keeps its files in.
    std::filesystem::path dir() const { return root_ / "overlook"; }
    std::filesystem::path file(const std::string& suite) const { return dir() / (suite + ".plist"); }

    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    void write(const std::filesystem::path& path, const std::string& bytes) const {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

private:
    std::filesystem::path root_;
    std::optional<std::string> previous_;
};

} // namespace overlook::test
