#include "tests/overlook/PngDecode.h"
#include "tests/support/Processes.h"

#include <fstream>

#include <gtest/gtest.h>

using namespace overlook::test;

namespace {

struct ProgramRun {
    int code = -1;
    std::string output; // standard output and error
};

ProgramRun runProgram(const std::string& environment, const std::string& args) {
    ProgramRun run;
    run.output = shellOutput(environment + " " OVERLOOK_BINARY " " + args + " 2>&1", &run.code);
    return run;
}

const std::string kFixture = "--backend fixture=" OVERLOOK_SOURCE_DIR "/fixtures/two-displays.json";

} // namespace

TEST(SettingsCommandLine, DefaultsWriteRefusesValuesTheApplicationCannotUse) {
    const ScratchFolder folder("cli-settings");
    const std::string env = "XDG_CONFIG_HOME=" + folder.path().string();
    // Usable values, and anything for keys that are not ours.
    for (const char* good : {"scale 8 --type float", "crosshairWeight 12", "hideMainDisplay yes",
                             "crosshairWeight 2.5 --type float", "someoneElses 0 --type float",
                             "someoneElses -1e300 --type float"})
        EXPECT_EQ(runProgram(env, std::string("defaults write ") + good).code, 0) << good;

    for (const char* bad : {"scale 0 --type float", "scale 1e-300 --type float", "scale -1 --type int",
                                   "scale 100000", "scale 3", "scale abc", "scale 4 --type string",
                                   "scale true --type bool", "crosshairWeight 1", "crosshairWeight 13 --type int",
                                   "crosshairWeight 1e308 --type float", "crosshairWeight -2", "displayCrosshair 2",
                                   "displayCrosshair 1 --type int", "desaturationPausedStream maybe",
                                   "autoPlay 0.5 --type float", "crosshairColor red"}) {
        const ProgramRun run = runProgram(env, std::string("defaults write ") + bad);
        EXPECT_EQ(run.code, 1) << bad << ": " << run.output;
        const std::string key = std::string(bad).substr(0, std::string(bad).find(' '));
        EXPECT_NE(run.output.find("overlook defaults: \"" + key + "\""), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("usage:"), std::string::npos) << bad;
    }
    EXPECT_NE(runProgram(env, "defaults write scale 3").output.find("must be 1, 2, 4 or 8"), std::string::npos);
    EXPECT_NE(runProgram(env, "defaults write crosshairWeight 13").output.find("between 2 and 12"), std::string::npos);
    EXPECT_EQ(runProgram(env, "defaults write scale inf --type float").code, 2);

    // Nothing refused reached the file.
    EXPECT_EQ(runProgram(env, "defaults read scale").output, "8\n");
    EXPECT_EQ(runProgram(env, "defaults read crosshairWeight").output, "2.5\n");
}

TEST(SettingsCommandLine, PreviewUsesUsableValuesWhateverTheFileHolds) {
    const ScratchFolder folder("cli-settings");
    const std::string env = "XDG_CONFIG_HOME=" + folder.path().string(), output = folder / "preview.png";
    // Hand-written values nothing vetted; the width shows the scale: 858 at the default quarter, 1716 at half.
    for (const auto& [entries, width] : std::vector<std::pair<std::string, int>>{
             {"<key>scale</key><real>0</real><key>crosshairWeight</key><real>1e308</real>"
              "<key>crosshairColor</key><array><real>nan</real><real>0</real><real>0</real></array>", 858},
             {"<key>scale</key><real>-inf</real><key>crosshairWeight</key><integer>9223372036854775807</integer>"
              "<key>crosshairColor</key><array><real>1e308</real><real>-5</real><integer>2</integer></array>", 858},
             {"<key>scale</key><string>abc</string><key>crosshairWeight</key><string>wide</string>"
              "<key>crosshairColor</key><string>red</string>", 858},
             {"<key>scale</key><real>nan</real><key>displayCrosshair</key><integer>0</integer>"
              "<key>desaturationPausedStream</key><integer>0</integer>", 858},
             {"<key>scale</key><real>2.5</real><key>crosshairWeight</key><real>0</real>", 1716}}) {
        SCOPED_TRACE(entries);
        std::filesystem::create_directories(folder / "overlook");
        std::ofstream(folder / "overlook" / "io.overlook.Overlook.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            << entries << "</dict>\n</plist>\n";
        std::filesystem::remove(output);
        const ProgramRun run = runProgram(env, "preview " + kFixture + " --output " + output);
        EXPECT_EQ(run.code, 0) << run.output;
        const auto picture = decodePng(output);
        EXPECT_EQ(picture ? picture->width : 0, width);
    }
    std::filesystem::remove(output); // an asked size is the picture's, whatever the scale
    EXPECT_EQ(runProgram(env, "preview " + kFixture + " --size 300x120 --output " + output).code, 0);
    const auto sized = decodePng(output);
    EXPECT_EQ(sized ? std::pair(sized->width, sized->height) : std::pair(0, 0), std::pair(300, 120));
}

TEST(SettingsCommandLine, WithoutAHomeCommandsThatNeedSettingsRefuse) {
    const std::string noHome = "env -u HOME -u XDG_CONFIG_HOME";
    const std::string message = "overlook: cannot find a folder for the settings: neither XDG_CONFIG_HOME nor HOME";
    for (const std::string& command : {std::string("defaults read"), std::string("defaults write scale 2"),
                                       "preview " + kFixture + " --output /nonexistent/never.png",
                                       std::string("")}) { // the tray application
        SCOPED_TRACE(command);
        const ProgramRun run = runProgram(noHome + " timeout 30", command);
        EXPECT_EQ(run.code, 1) << run.output;
        EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
    }
    EXPECT_EQ(runProgram(noHome, "displays " + kFixture).code, 0);
}
