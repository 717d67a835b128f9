#include "DesktopSession.h"

#include "Foundation/Logger.h"
#include "KeyboardShortcuts/KeyboardShortcuts.h"
#include "Overlook/Backend.h"
#include "Overlook/ShortcutPath.h"
#include "Platform/PortalShortcuts/PortalHotKeyService.h"
#include "Platform/Wayland/Decorations.h"
#include "Platform/X11/HotKeys/X11HotKeyService.h"

#include <QGuiApplication>

#include <cstdlib>

namespace overlook {

namespace {

const Logger& sessionLog() {
    static const Logger log(logs::kApplication, "Session");
    return log;
}

bool waylandToolkit() { return QGuiApplication::platformName() == QLatin1String("wayland"); }

// What the recorder row says where only the compositor binds keys (why is in the log).
std::string compositorNote() {
    return std::string("This desktop lets no application set a global shortcut. To open Overlook with keys, bind “") +
           kToggleCommand + "” to them in your compositor's settings.";
}

} // namespace

void chooseToolkitPlatform() {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!wayland || !*wayland)
        return;
    const bool x11 = defaultBackend().kind == BackendChoice::Kind::X11;
    qputenv("QT_QPA_PLATFORM", x11 ? "xcb" : "wayland");
    // Qt's Wayland platform asks its OpenGL integration whether it can draw window
    // decorations, and so loads the whole GL stack (tens of megabytes with a
    // software renderer) for windows that never draw with GL. Where the compositor
    // decorates windows itself Qt needs none of its own.
    if (!x11 && qEnvironmentVariableIsEmpty("QT_WAYLAND_DISABLE_WINDOWDECORATION") &&
        wayland::compositorDecoratesWindows())
        qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
}

void installShortcutService() {
    if (!waylandToolkit()) {
        const bool grabbed = KeyboardShortcuts::installX11HotKeyService();
        setShortcutPath({ShortcutPath::Kind::KeyGrab, grabbed, grabbed ? "" : "Global shortcuts are off: no X server."});
        return;
    }
    // Wayland: no client may grab keys; the desktop may lend its own.
    std::string why;
    auto service = portal::PortalHotKeyService::connect(why);
    if (!service) {
        sessionLog().notice("No global shortcut of our own: %s. Bind `%s` in the compositor.", why.c_str(),
                            kToggleCommand);
        setShortcutPath({ShortcutPath::Kind::Compositor, false, compositorNote()});
        return;
    }
    service->setDescription("Show Overlook");
    service->setBindingHandler([](const portal::ShortcutBinding& binding) {
        using State = portal::ShortcutBinding::State;
        switch (binding.state) {
        case State::Pending:
            setShortcutPath({ShortcutPath::Kind::Portal, false, "Waiting for the desktop to take the shortcut…"});
            break;
        case State::Bound:
            setShortcutPath({ShortcutPath::Kind::Portal, true,
                             binding.text.empty() ? "The desktop took the shortcut; its keys are set in the desktop's settings."
                                                  : "The desktop bound it to " + binding.text + "."});
            break;
        case State::Refused:
            sessionLog().error("The shortcut is not active: %s", binding.text.c_str());
            setShortcutPath({ShortcutPath::Kind::Portal, false,
                             "Not active: " + binding.text + ". You can bind “" + kToggleCommand +
                                 "” in the desktop's settings instead."});
            break;
        }
    });
    setShortcutPath({ShortcutPath::Kind::Portal, false, "Waiting for the desktop to take the shortcut…"});
    KeyboardShortcuts::setHotKeyService(std::move(service));
}

std::string describeSession(const std::string& tray) {
    const char* backend = "none";
    switch (defaultBackend().kind) {
    case BackendChoice::Kind::X11:
        backend = "X11";
        break;
    case BackendChoice::Kind::Wayland:
        backend = "Wayland";
        break;
    case BackendChoice::Kind::Portal:
        backend = "desktop portal";
        break;
    case BackendChoice::Kind::Fixture:
        backend = "fixture";
        break;
    default:
        break;
    }
    const char* shortcut = "compositor binding";
    switch (shortcutPath().kind) {
    case ShortcutPath::Kind::KeyGrab:
        shortcut = "X11 key grab";
        break;
    case ShortcutPath::Kind::Portal:
        shortcut = "GlobalShortcuts portal";
        break;
    case ShortcutPath::Kind::Compositor:
        break;
    }
    return "toolkit " + QGuiApplication::platformName().toStdString() + ", display back end " + backend + ", tray " +
           tray + ", shortcut " + shortcut;
}

} // namespace overlook
