#pragma once
// Points XDG_CONFIG_HOME at a fresh folder while it lives, so no test touches ~/.config.

#include "settings_store/PropertyList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
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
        previous_ ? ::setenv("XDG_CONFIG_HOME", previous_->c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempSettings(const TempSettings&) = delete;
    TempSettings& operator=(const TempSettings&) = delete;

    std::filesystem::path dir() const { return root_ / "overlook"; } // where the store keeps its files
    std::filesystem::path file(const std::string& suite) const { return dir() / (suite + ".plist"); }
    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::filesystem::path& path, const std::string& bytes) const {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static PropertyList::Dictionary settingsIn(const std::filesystem::path& path) {
        const auto parsed = parsePropertyList(read(path));
        const auto* dictionary = parsed.value ? parsed.value->get<PropertyList::Dictionary>() : nullptr;
        if (!dictionary)
            ADD_FAILURE() << path << " holds no settings: " << parsed.error;
        return dictionary ? *dictionary : PropertyList::Dictionary{};
    }
    PropertyList::Dictionary onDisk(const std::string& suite) const { return settingsIn(file(suite)); }

private:
    std::filesystem::path root_;
    std::optional<std::string> previous_;
};

} // namespace overlook::test
