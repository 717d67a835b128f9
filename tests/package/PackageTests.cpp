// The Debian package as a user gets it: built by CPack from this tree, checked
// with dpkg-deb, unpacked into a temporary root (not under /usr) and run there on
// a private X server.
#include "tests/overlook/PngDecode.h"
#include "tests/x11/XvfbServer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

// Standard output of a shell command and its exit status.
std::pair<std::string, int> capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {out, -1};
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        out.append(buffer.data(), n);
    return {out, pclose(pipe)};
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string field(const std::string& deb, const std::string& name) {
    auto [out, status] = capture("dpkg-deb -f '" + deb + "' " + name);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return status == 0 ? out : std::string{};
}

// One package for every test in this program: CPack is the slow part.
class DebianPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char name[] = "/tmp/overlook-package-XXXXXX";
        dir_ = mkdtemp(name);
        const auto [log, status] = capture(std::string(CPACK_COMMAND) + " --config '" CPACK_CONFIG "' -B '" +
                                           (dir_ / "out").string() + "' 2>&1");
        cpackLog_ = log;
        if (status != 0)
            return;
        for (const auto& entry : fs::directory_iterator(dir_ / "out"))
            if (entry.path().extension() == ".deb")
                deb_ = entry.path();
        if (!deb_.empty() && capture("dpkg-deb -x '" + deb_.string() + "' '" + (dir_ / "root").string() + "'").second == 0)
            root_ = dir_ / "root";
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    void SetUp() override {
        ASSERT_FALSE(deb_.empty()) << cpackLog_;
        ASSERT_FALSE(root_.empty());
    }
    static std::string program() { return (root_ / "usr" / "bin" / "overlook").string(); }

    static inline fs::path dir_, deb_, root_;
    static inline std::string cpackLog_;
};

} // namespace

TEST_F(DebianPackage, DescribesItselfAndDependsOnWhatItLinks) {
    EXPECT_EQ(field(deb_, "Package"), "overlook");
    EXPECT_EQ(field(deb_, "Section"), "utils");
    EXPECT_NE(field(deb_, "Maintainer"), "");
    EXPECT_NE(field(deb_, "Description").find("previews"), std::string::npos);
    EXPECT_NE(field(deb_, "Version"), "");
    // Generated from the linked libraries, with versions: the C library, Qt, xcb,
    // cairo, sd-bus; and the SVG plugin the icons need at run time.
    const std::string depends = field(deb_, "Depends");
    for (const char* package : {"libc6 (>=", "libqt6widgets6", "libqt6dbus6", "libxcb-randr0", "libcairo2",
                                "libsystemd0", "libplist", "libqt6svg6"})
        EXPECT_NE(depends.find(package), std::string::npos) << package << " missing from: " << depends;
}

TEST_F(DebianPackage, InstallsTheProgramsAndTheirDesktopFilesUnderUsr) {
    const fs::path usr = root_ / "usr";
    for (const char* file : {"bin/overlook", "libexec/overlook/overlook-app"}) {
        const fs::path path = usr / file;
        EXPECT_TRUE(fs::is_regular_file(path)) << file;
        EXPECT_NE(fs::status(path).permissions() & fs::perms::owner_exec, fs::perms::none) << file;
    }
    for (const char* file : {"share/applications/overlook.desktop", "share/man/man1/overlook.1",
                             "share/dbus-1/services/io.overlook.Overlook.service",
                             "share/dbus-1/interfaces/io.overlook.Overlook.xml",
                             "share/icons/hicolor/scalable/apps/overlook.svg", "share/overlook/Overlook.gpl"})
        EXPECT_TRUE(fs::is_regular_file(usr / file)) << file;
    // Nothing outside /usr, and no build-tree leftovers such as test programs or headers.
    for (const auto& entry : fs::directory_iterator(root_))
        EXPECT_EQ(entry.path().filename(), "usr");
    EXPECT_FALSE(fs::exists(usr / "include"));
    EXPECT_FALSE(fs::exists(usr / "local"));

    const std::string desktop = readFile(usr / "share/applications/overlook.desktop");
    EXPECT_NE(desktop.find("Exec=overlook"), std::string::npos);
    EXPECT_NE(desktop.find("Icon=overlook"), std::string::npos);
    EXPECT_NE(readFile(usr / "share/man/man1/overlook.1").find("screenshot"), std::string::npos);
    // The bus starts the program where this build's prefix puts it.
    const std::string service = readFile(usr / "share/dbus-1/services/io.overlook.Overlook.service");
    EXPECT_NE(service.find("Name=io.overlook.Overlook\n"), std::string::npos);
    EXPECT_NE(service.find("Exec=" OVERLOOK_PREFIX "/bin/overlook\n"), std::string::npos) << service;
}

TEST_F(DebianPackage, UnpackedProgramRunsItsCommandsOnAnXServer) {
    const auto [help, helpStatus] = capture(program() + " --help");
    EXPECT_EQ(helpStatus, 0);
    EXPECT_NE(help.find("screenshot"), std::string::npos) << help;

    XvfbServer server(1366, 768);
    ASSERT_TRUE(server.running());
    server.setMonitors({"PKG 1366x768+0+0"});
    server.fill(0, 0, 30, 20, 0xFF0000); // marks the top-left corner
    const std::string displays = server.output(program() + " displays --backend x11");
    EXPECT_NE(displays.find("1366"), std::string::npos) << displays;
    EXPECT_NE(displays.find("768"), std::string::npos) << displays;

    const std::string png = (dir_ / "shot.png").string();
    ASSERT_EQ(server.run(program() + " screenshot --backend x11 --output '" + png + "' >/dev/null"), 0);
    const auto shot = decodePng(png);
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->width, 1366);
    EXPECT_EQ(shot->height, 768);
    EXPECT_EQ(shot->at(5, 5), 0xFFFF0000u);
    EXPECT_NE(shot->at(1000, 500), 0xFFFF0000u);
}

TEST_F(DebianPackage, UnpackedProgramUsesItsOwnTreeForTheApplicationAndItsData) {
    // The unpacked fixture gets a name of its own: only the tree's copy has it.
    const fs::path fixture = root_ / "usr/share/overlook/fixtures/two-displays.json";
    std::string json = readFile(fixture);
    const std::string original = "DELL U2720Q";
    const auto at = json.find(original);
    ASSERT_NE(at, std::string::npos);
    json.replace(at, original.size(), "Unpacked Monitor");
    std::ofstream(fixture) << json;
    const auto [displays, status] = capture("env -u OVERLOOK_FIXTURE " + program() + " displays --backend fixture");
    EXPECT_EQ(status, 0);
    EXPECT_NE(displays.find("Unpacked Monitor"), std::string::npos) << displays;

    // The preview runs in the tree's libexec/overlook/overlook-app.
    const std::string png = (dir_ / "preview.png").string();
    const auto [out, previewStatus] =
        capture("QT_QPA_PLATFORM=offscreen " + program() + " preview --backend fixture --frames 2 --output '" + png + "' 2>&1");
    EXPECT_EQ(previewStatus, 0) << out;
    const auto preview = decodePng(png);
    ASSERT_TRUE(preview) << out;
    EXPECT_GT(preview->width, 100);
}

// The README's first commands, with the network and the compiler replaced by programs
// that record their calls: what the scripts ask of them is what a newcomer waits for.
TEST(FirstRun, InstallDepsNeedsNoNetworkOnceInstalledAndRunBuildsOnlyTheProgramsAloud) {
    char name[] = "/tmp/overlook-first-run-XXXXXX";
    const fs::path dir = mkdtemp(name);
    const fs::path bin = dir / "bin";
    fs::create_directories(bin);
    fs::create_directories(dir / "build/Overlook");
    const auto script = [](const fs::path& path, const std::string& body) {
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
    };
    for (const char* tool : {"apt-get", "sudo"})
        script(bin / tool, "echo NETWORK \"$@\"; exit 100");
    script(bin / "cmake", "exit 0");
    script(bin / "ninja", "echo \"$@\" >'" + (dir / "ninja.args").string() + "'; echo '[1/2] Building CXX object x.o'");
    script(dir / "build/Overlook/overlook", "echo ran \"$@\"");
    const std::string path = "PATH='" + bin.string() + "':\"$PATH\" ";

    // Every package it names is installed here (the suite's own build needed them), so
    // a virtual or misspelt name shows as a call to apt-get.
    const auto [deps, depsStatus] = capture(path + OVERLOOK_SOURCE_DIR "/scripts/install-deps 2>&1");
    EXPECT_EQ(depsStatus, 0) << deps;
    EXPECT_EQ(deps.find("NETWORK"), std::string::npos) << deps;
    EXPECT_NE(deps.find("everything is installed"), std::string::npos) << deps;

    const auto [run, runStatus] = capture("env -u WAYLAND_DISPLAY DISPLAY=:0 OVERLOOK_BUILD_DIR='" + (dir / "build").string() +
                                          "' " + path + OVERLOOK_SOURCE_DIR "/scripts/run --version 2>&1");
    EXPECT_EQ(runStatus, 0) << run;
    EXPECT_NE(run.find("run: building"), std::string::npos) << run;
    EXPECT_NE(run.find("[1/2] Building"), std::string::npos) << "ninja's progress is hidden: " << run;
    EXPECT_NE(run.find("ran --version"), std::string::npos) << run;
    const std::string ninja = readFile(dir / "ninja.args");
    EXPECT_NE(ninja.find(" overlook overlook-app"), std::string::npos) << "builds more than the programs: " << ninja;
    fs::remove_all(dir);
}
