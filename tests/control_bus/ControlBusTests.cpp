// One instance per session and its control from outside, on a private session bus
// and a private Xvfb: a second start shows the first one's popover and exits, the
// control commands open and close the popover and the preferences, the interface is
// exported as described, the bus can start the application, and without a bus both
// sides say so.

#include "SessionBus.h"
#include "tests/x11/XvfbServer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

using namespace overlook::test;
namespace fs = std::filesystem;

namespace {


// The application's visible windows at least `minWidth` wide (the tray icon's own
// window is icon-sized).
std::vector<std::string> visibleWindows(const XvfbServer& server, int minWidth) {
    std::vector<std::string> found;
    std::istringstream ids(server.output("xdotool search --onlyvisible --class overlook 2>/dev/null"));
    for (std::string id; ids >> id;) {
        const std::string shell = server.output("xdotool getwindowgeometry --shell " + id);
        std::smatch m;
        if (std::regex_search(shell, m, std::regex("WIDTH=(\\d+)")) && std::stoi(m[1]) >= minWidth)
            found.push_back(id);
    }
    return found;
}

int popovers(const XvfbServer& server) { return int(visibleWindows(server, 300).size()); }

int trayIcons(const XvfbServer& server) {
    int count = 0;
    std::istringstream ids(server.output("xdotool search --class overlook 2>/dev/null"));
    for (std::string id; ids >> id;) {
        const std::string shell = server.output("xdotool getwindowgeometry --shell " + id);
        std::smatch m;
        if (std::regex_search(shell, m, std::regex("WIDTH=(\\d+)")) && std::stoi(m[1]) > 4 &&
            std::stoi(m[1]) <= 64)
            ++count;
    }
    return count;
}

bool windowNamed(const XvfbServer& server, const std::string& name) {
    return !server.output("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null").empty();
}

} // namespace

TEST(ControlBus, OneInstanceAndItsControlCommands) {
    if (system("command -v trayer >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "trayer is not installed (scripts/install-deps)";
    XvfbServer server(3840, 1080);
    ASSERT_TRUE(server.running());
    server.setMonitors({"MAIN 1920x1080+1920+0", "SIDE 1920x1080+0+0"});
    const Scratch scratch("control");
    PrivateSessionBus bus;
    ASSERT_TRUE(bus.running());
    const std::map<std::string, std::string> env = {{"DISPLAY", server.name()},
                                                    {"XDG_CONFIG_HOME", (scratch.path() / "config").string()},
                                                    {"HOME", (scratch.path() / "home").string()},
                                                    {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    auto command = [&](const std::string& args) {
        return exitStatusWithin(spawn(std::string(OVERLOOK_BINARY) + " " + args, env, scratch.path() / "command.log"),
                                15000);
    };

    const pid_t tray = spawn("trayer --edge top --align right --widthtype request --height 24", env);
    ASSERT_TRUE(waitFor([&] { return !server.output("xdotool search --name '^panel$' 2>/dev/null").empty(); }));
    const pid_t first = spawn(OVERLOOK_BINARY, env, scratch.path() / "first.log");
    ASSERT_TRUE(waitFor([&] { return bus.nameHasOwner("io.overlook.Overlook"); }, 20000))
        << "the application did not take its name on the bus\n" << readFile(scratch.path() / "first.log");
    ASSERT_TRUE(waitFor([&] { return trayIcons(server) == 1; }, 20000)) << "no tray icon appeared";
    EXPECT_EQ(popovers(server), 0);

    // A second start: no second tray application; the first one's popover opens.
    const pid_t second = spawn(OVERLOOK_BINARY, env, scratch.path() / "second.log");
    EXPECT_EQ(exitStatusWithin(second, 15000), 0) << readFile(scratch.path() / "second.log");
    EXPECT_TRUE(waitFor([&] { return popovers(server) == 1; })) << "the running instance showed no popover";
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(trayIcons(server), 1) << "a second tray icon appeared";
    EXPECT_EQ(popovers(server), 1);
    // Started again while the popover is open: it stays open, and still one.
    EXPECT_EQ(command(""), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(popovers(server), 1);

    // The control commands.
    EXPECT_EQ(command("popover --hide"), 0);
    EXPECT_TRUE(waitFor([&] { return popovers(server) == 0; })) << "--hide left the popover open";
    EXPECT_EQ(command("popover --hide"), 0) << "hiding a hidden popover is no failure";
    EXPECT_EQ(command("popover --show"), 0);
    EXPECT_TRUE(waitFor([&] { return popovers(server) == 1; })) << "--show opened nothing";
    EXPECT_EQ(command("popover --show"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(popovers(server), 1) << "--show on an open popover made another";
    EXPECT_EQ(command("popover --toggle"), 0);
    EXPECT_TRUE(waitFor([&] { return popovers(server) == 0; })) << "--toggle did not close the popover";
    EXPECT_EQ(command("popover"), 0);
    EXPECT_TRUE(waitFor([&] { return popovers(server) == 1; })) << "toggling (the default) did not open it";
    EXPECT_EQ(command("popover --sideways"), 2);
    EXPECT_NE(readFile(scratch.path() / "command.log").find("unknown option '--sideways'"), std::string::npos);
    EXPECT_EQ(command("preferences"), 0);
    EXPECT_TRUE(waitFor([&] { return windowNamed(server, "General"); })) << "no preferences window";

    // Exported at its path with every method of the description.
    int status = 0;
    const std::string introspection = shellOutput(
        "dbus-send --bus=" + bus.address() +
            " --print-reply --dest=io.overlook.Overlook /io/overlook/Overlook "
            "org.freedesktop.DBus.Introspectable.Introspect",
        &status);
    ASSERT_EQ(status, 0);
    const std::string description = readFile(CONTROL_BUS_XML);
    const std::regex method("<method name=\"(\\w+)\"");
    int methods = 0;
    for (std::sregex_iterator it(description.begin(), description.end(), method), end; it != end; ++it, ++methods)
        EXPECT_NE(introspection.find("<method name=\"" + (*it)[1].str() + "\""), std::string::npos)
            << (*it)[1] << " is described but not exported";
    EXPECT_EQ(methods, 6);
    EXPECT_NE(introspection.find("<interface name=\"io.overlook.Overlook\">"), std::string::npos);

    // The instance goes: its name with it, and the commands say there is none.
    stop(first);
    EXPECT_TRUE(waitFor([&] { return !bus.nameHasOwner("io.overlook.Overlook"); }));
    EXPECT_EQ(command("popover --hide"), 1);
    EXPECT_NE(readFile(scratch.path() / "command.log").find("overlook: no running Overlook: nothing owns"),
              std::string::npos)
        << readFile(scratch.path() / "command.log");
    stop(tray);
}

TEST(ControlBus, TheBusStartsTheApplicationFromItsServiceFile) {
    XvfbServer server(1920, 1080);
    ASSERT_TRUE(server.running());
    const Scratch scratch("control");
    // Activated services see the bus daemon's environment.
    PrivateSessionBus bus({{"DISPLAY", server.name()},
                           {"XDG_CONFIG_HOME", (scratch.path() / "config").string()},
                           {"HOME", (scratch.path() / "home").string()}});
    ASSERT_TRUE(bus.running());
    // The built service file, pointed at the built program instead of the installed one.
    std::string service = readFile(CONTROL_BUS_SERVICE_FILE);
    ASSERT_NE(service.find("Name=io.overlook.Overlook\n"), std::string::npos) << service;
    service = std::regex_replace(service, std::regex("Exec=.*"), "Exec=" OVERLOOK_BINARY);
    std::ofstream(bus.serviceDirectory() / "io.overlook.Overlook.service") << service;

    const std::map<std::string, std::string> env = {{"DISPLAY", server.name()},
                                                    {"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
    // Hiding starts nothing.
    EXPECT_EQ(exitStatusWithin(spawn(OVERLOOK_BINARY " popover --hide", env), 15000), 1);
    EXPECT_FALSE(bus.nameHasOwner("io.overlook.Overlook"));
    // Showing does, and the started application shows its popover.
    EXPECT_EQ(exitStatusWithin(spawn(OVERLOOK_BINARY " popover --show", env, scratch.path() / "show.log"), 30000), 0)
        << readFile(scratch.path() / "show.log");
    EXPECT_TRUE(bus.nameHasOwner("io.overlook.Overlook"));
    EXPECT_TRUE(waitFor([&] { return popovers(server) == 1; })) << "the started application showed no popover";
    // The bus daemon's child: it goes with the test's bus, which is stopped first.
    EXPECT_EQ(exitStatusWithin(spawn(OVERLOOK_BINARY " popover --hide", env), 15000), 0);
    EXPECT_TRUE(waitFor([&] { return popovers(server) == 0; }));
    const std::string pid = shellOutput("dbus-send --bus=" + bus.address() +
                                        " --print-reply --dest=org.freedesktop.DBus / "
                                        "org.freedesktop.DBus.GetConnectionUnixProcessID string:io.overlook.Overlook "
                                        "| awk '/uint32/ {print $2}'");
    if (!pid.empty())
        stop(std::stoi(pid)); // not our child: SIGTERM only
}

TEST(ControlBus, WithoutASessionBusBothSidesSaySo) {
    const Scratch scratch("control");
    const fs::path log = scratch.path() / "log";
    // Commands: a bus address that leads nowhere, and no address at all.
    for (const auto& [env, says] : std::vector<std::pair<std::map<std::string, std::string>, std::string>>{
             {{{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}},
              "overlook: no running Overlook: cannot connect to the session bus at unix:path=/nonexistent/bus"},
             {{{"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", ""}},
              "overlook: no running Overlook: no session bus"}}) {
        for (const std::string args : {"popover --show", "popover --hide", "preferences"}) {
            EXPECT_EQ(exitStatusWithin(spawn(OVERLOOK_BINARY " " + args, env, log), 10000), 1) << args;
            EXPECT_NE(readFile(log).find(says), std::string::npos) << args << ": " << readFile(log);
        }
    }

    // The tray application says so and goes on alone.
    XvfbServer server(1920, 1080);
    ASSERT_TRUE(server.running());
    const pid_t app = spawn(OVERLOOK_BINARY, {{"DISPLAY", server.name()},
                                              {"XDG_CONFIG_HOME", (scratch.path() / "config").string()},
                                              {"HOME", (scratch.path() / "home").string()},
                                              {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}},
                            log);
    EXPECT_TRUE(waitFor([&] { return readFile(log).find("overlook: no session bus") != std::string::npos; }, 15000))
        << readFile(log);
    // Still running, and its shortcut still opens the popover.
    EXPECT_EQ(exitStatusWithin(app, 1000), -1) << readFile(log);
    // Its key grab may come after that line (slowly under a sanitizer): a press
    // before it reaches nobody, so the key is pressed until one opens the popover.
    bool opened = false;
    for (int press = 0; press < 5 && !opened; ++press) {
        ASSERT_EQ(server.run("xdotool key ctrl+alt+super+p"), 0);
        opened = waitFor([&] { return popovers(server) == 1; }, 2500);
    }
    EXPECT_TRUE(opened) << "the lone instance does not work";
    stop(app);
}
