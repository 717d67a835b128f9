#include "tests/overlook/PngDecode.h"
#include "tests/support/Processes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {

std::pair<std::string, int> capture(const std::string& command) {
    int status = 0;
    std::string out = shellOutput(command, &status);
    return {out, status};
}

std::string field(const std::string& deb, const std::string& name) {
    auto [out, status] = capture("dpkg-deb -f '" + deb + "' " + name);
    return status == 0 ? out.substr(0, out.find_last_not_of("\n ") + 1) : std::string{};
}

class DebianPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = std::make_unique<ScratchFolder>("package");
        dir_ = scratch_->path();
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
    static void TearDownTestSuite() { scratch_.reset(); }
    void SetUp() override {
        ASSERT_FALSE(deb_.empty()) << cpackLog_;
        ASSERT_FALSE(root_.empty());
    }
    static std::string program() { return (root_ / "usr" / "bin" / "overlook").string(); }

    static inline std::unique_ptr<ScratchFolder> scratch_;
    static inline fs::path dir_, deb_, root_;
    static inline std::string cpackLog_;
};

} // namespace

// One test, so that CPack runs once: ctest runs each test in a process of its own.
TEST_F(DebianPackage, DescribesItselfInstallsUnderUsrAndRunsItsCommandsFromItsOwnTree) {
    EXPECT_EQ(field(deb_, "Package"), "overlook");
    EXPECT_NE(field(deb_, "Description").find("previews"), std::string::npos);
    // Generated from the linked libraries, plus the SVG plugin the icons need at run time.
    const std::string depends = field(deb_, "Depends");
    for (const char* package : {"libc6 (>=", "libqt6widgets6", "libqt6dbus6", "libxcb-randr0", "libcairo2",
                                "libsystemd0", "libplist", "libqt6svg6"})
        EXPECT_NE(depends.find(package), std::string::npos) << package << " missing from: " << depends;

    const auto [lintian, lintianStatus] = capture("lintian --no-tag-display-limit '" + deb_.string() + "' 2>&1");
    EXPECT_EQ(lintianStatus, 0) << lintian;
    std::istringstream lines(lintian);
    for (std::string line; std::getline(lines, line);)
        EXPECT_FALSE(line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0) << line;

    const fs::path usr = root_ / "usr";
    for (const char* file : {"share/dbus-1/interfaces/io.overlook.Overlook.xml",
                             "share/icons/hicolor/scalable/apps/overlook.svg", "share/overlook/Overlook.gpl"})
        EXPECT_TRUE(fs::is_regular_file(usr / file)) << file;
    for (const auto& entry : fs::directory_iterator(root_))
        EXPECT_EQ(entry.path().filename(), "usr");
    EXPECT_FALSE(fs::exists(usr / "include"));
    EXPECT_FALSE(fs::exists(usr / "local"));

    const std::string desktop = readFile(usr / "share/applications/overlook.desktop");
    EXPECT_NE(desktop.find("\nExec=\"/usr/bin/overlook\"\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("Icon=overlook"), std::string::npos);
    const std::string service = readFile(usr / "share/dbus-1/services/io.overlook.Overlook.service");
    EXPECT_NE(service.find("Name=io.overlook.Overlook\n"), std::string::npos);
    EXPECT_NE(service.find("\nExec=\"/usr/bin/overlook\"\n"), std::string::npos) << service;

    const auto [manual, manStatus] =
        capture("MANWIDTH=100 man -l '" + (usr / "share/man/man1/overlook.1.gz").string() + "' 2>&1");
    EXPECT_EQ(manStatus, 0) << manual;
    for (const char* part : {"SYNOPSIS", "FILES", "ENVIRONMENT", "EXIT STATUS", "EXAMPLES", "io.overlook.Overlook.plist",
                             "autostart/overlook.desktop", "OVERLOOK_BACKEND", "screenshot"})
        EXPECT_NE(manual.find(part), std::string::npos) << part << " missing from the manual";

    const auto [appstream, appstreamStatus] = capture(
        "appstreamcli validate --no-net '" + (usr / "share/metainfo/io.overlook.Overlook.metainfo.xml").string() + "' 2>&1");
    EXPECT_EQ(appstreamStatus, 0) << appstream;

    // Under a prefix with a space the entries quote the program as their formats quote an argument.
    const fs::path prefix = dir_ / "my prefix";
    const auto [installLog, installStatus] =
        capture("'" CMAKE_COMMAND "' --install '" BUILD_DIR "' --prefix '" + prefix.string() + "' 2>&1");
    ASSERT_EQ(installStatus, 0) << installLog;
    const std::string quoted = "Exec=\"" + prefix.string() + "/bin/overlook\"\n";
    EXPECT_NE(readFile(prefix / "share/applications/overlook.desktop").find(quoted), std::string::npos);
    EXPECT_NE(readFile(prefix / "share/dbus-1/services/io.overlook.Overlook.service").find(quoted), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(prefix / "bin/overlook"));

    const fs::path fixture = root_ / "usr/share/overlook/fixtures/two-displays.json"; // renamed in the tree only
    std::string json = readFile(fixture);
    const std::string original = "DELL U2720Q";
    const auto at = json.find(original);
    ASSERT_NE(at, std::string::npos);
    json.replace(at, original.size(), "Unpacked Monitor");
    std::ofstream(fixture) << json;
    const auto [displays, status] = capture("env -u OVERLOOK_FIXTURE " + program() + " displays --backend fixture");
    EXPECT_EQ(status, 0);
    EXPECT_NE(displays.find("Unpacked Monitor"), std::string::npos) << displays;

    const std::string preview = (dir_ / "preview.png").string(); // by the tree's libexec/overlook/overlook-app
    const auto [out, previewStatus] = capture("QT_QPA_PLATFORM=offscreen " + program() +
                                              " preview --backend fixture --frames 2 --output '" + preview + "' 2>&1");
    EXPECT_EQ(previewStatus, 0) << out;
    ASSERT_TRUE(decodePng(preview)) << out;
}

// The README's first commands, with the network and the compiler replaced by recorders.
TEST(FirstRun, InstallDepsNeedsNoNetworkOnceInstalledAndRunBuildsOnlyTheProgramsAloud) {
    const ScratchFolder scratch("first-run");
    const fs::path dir = scratch.path(), bin = dir / "bin";
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

    // Every package it names is installed here: a virtual or misspelt one calls apt-get.
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
}
