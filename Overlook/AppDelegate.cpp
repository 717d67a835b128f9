#include "AppDelegate.h"

#include "Foundation/DefaultsStore.h"
#include "Foundation/DispatchQueue.h"
#include "Foundation/Logger.h"
#include "KeyboardShortcuts/KeyboardShortcuts.h"
#include "Overlook/Backend.h"
#include "Overlook/CommandLine/CommandLine.h"
#include "ControlBus/ControlService.h"
#include "Overlook/ContentViews.h"
#include "Overlook/DesktopNotifier.h"
#include "Overlook/DesktopSession.h"
#include "Overlook/DisplayInformationWindow.h"
#include "Overlook/InstalledData.h"
#include "Overlook/KeyMonitor.h"
#include "Overlook/LocalDisplayManager.h"
#include "Overlook/OwnWindows.h"
#include "Overlook/PreferencesCommand.h"
#include "Overlook/QtMainQueue.h"
#include "Overlook/ShortcutPath.h"
#include "Overlook/CommandLine/ScreenshotCommand.h"
#include "Overlook/StreamController.h"
#include "Platform/X11/HotKeys/X11HotKeyService.h"
#include "Platform/X11/SystemTray.h"

#include <QApplication>
#include <QCloseEvent>
#include <QColorDialog>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStyleFactory>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

namespace overlook {

namespace {

const Logger& appLog() {
    static const Logger log(logs::kApplication, "AppDelegate");
    return log;
}

constexpr int kTrayWaitMs = 1000;
// How long a desktop may take to show its tray before we tell the user there is none.
constexpr int kNoTrayNoticeMs = 4000;

// GNOME's own custom shortcuts: a list of paths, each with a name, command and binding.
constexpr const char* kMediaKeys = "org.gnome.settings-daemon.plugins.media-keys";
constexpr const char* kOurKeybinding = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/overlook/";
constexpr const char* kGnomeBinding = "<Control><Alt><Super>p";

bool onGnome() {
    const QString desktop = QString::fromLocal8Bit(qgetenv("XDG_CURRENT_DESKTOP"));
    return desktop.split(':').contains(QStringLiteral("GNOME"), Qt::CaseInsensitive);
}

// Runs gsettings; its trimmed output, or nothing (with `error` set) when it failed.
std::optional<QString> gsettings(const QStringList& arguments, QString& error) {
    QProcess process;
    process.start(QStringLiteral("gsettings"), arguments);
    if (!process.waitForFinished(5000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        if (error.isEmpty())
            error = process.errorString();
        return std::nullopt;
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// Adds our custom shortcut to GNOME's list (keeping the others); an error message
// when it could not.
QString addGnomeShortcut() {
    QString error;
    const auto list = gsettings({QStringLiteral("get"), kMediaKeys, QStringLiteral("custom-keybindings")}, error);
    if (!list)
        return error;
    QStringList paths;
    const QRegularExpression quoted(QStringLiteral("'([^']*)'"));
    for (auto it = quoted.globalMatch(*list); it.hasNext();)
        paths << it.next().captured(1);
    const QString schema = QString(kMediaKeys) + ".custom-keybinding:" + kOurKeybinding;
    const std::pair<const char*, QString> keys[] = {
        {"name", QStringLiteral("Overlook")}, {"command", QString(kToggleCommand)}, {"binding", kGnomeBinding}};
    for (const auto& [key, value] : keys)
        if (!gsettings({QStringLiteral("set"), schema, key, value}, error))
            return error;
    if (!paths.contains(kOurKeybinding)) {
        paths << kOurKeybinding;
        if (!gsettings({QStringLiteral("set"), kMediaKeys, QStringLiteral("custom-keybindings"),
                        "['" + paths.join(QStringLiteral("', '")) + "']"},
                       error))
            return error;
    }
    return {};
}

bool onWayland() { return QGuiApplication::platformName() == QLatin1String("wayland"); }
constexpr int kTrayQueryMs = 500;

// A panel that shows StatusNotifierItems (KDE Plasma, GNOME's AppIndicator
// extension, waybar): a watcher with at least one host registered, which is what Qt
// asks for before it makes its D-Bus tray icon.
bool statusNotifierHostExists() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("IsStatusNotifierHostRegistered");
    // A watcher started on demand would have no host yet; and the answer is wanted now.
    get.setAutoStartService(false);
    const QDBusReply<QDBusVariant> reply = bus.call(get, QDBus::Block, kTrayQueryMs);
    return reply.isValid() && reply.value().variant().toBool();
}

// Qt decides once per process, when the first tray icon is made or availability is
// first asked, whether its icons are StatusNotifierItems, and never looks again. So
// we look for a tray ourselves and make the icon only once there is one; a panel
// that starts after us (at login, or restarted) still gets it.
bool trayExists() {
    return statusNotifierHostExists() ||
           (QGuiApplication::platformName() == QLatin1String("xcb") && x11::xembedTrayExists());
}

// The colour list "Overlook": a GIMP palette installed with the application.
QString colorListPath() {
    if (const char* env = std::getenv("OVERLOOK_PALETTE"); env && *env)
        return env;
    const QString installed = QString::fromStdString((installedDataDir() / "Overlook.gpl").string());
    return QFile::exists(installed) ? installed : QString(OVERLOOK_SOURCE_DIR "/Overlook/resources/Overlook.gpl");
}

} // namespace

namespace {
// A one-pixel edge drawn over the popover's outermost pixels: its picture is the desktop
// itself, and no compositor draws a frame or shadow around a frameless window, so
// without it the popover would have no visible edge on a desktop of the same colour.
class PopoverEdge final : public QWidget {
public:
    explicit PopoverEdge(QWidget* popover) : QWidget(popover) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        popover->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
            setGeometry(parentWidget()->rect());
            raise();
        }
        return false;
    }
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(QColor(0x7F, 0x7F, 0x7F)); // seen on light and dark desktops alike
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};
} // namespace

Popover::Popover() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setWindowTitle("Overlook");
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    content_ = new ContentView(this);
    layout->addWidget(content_);
    new PopoverEdge(this);
    // A display plugged in or removed while it is open shows up or goes at once.
    displaysWatch_ = LocalDisplayManager::shared().availableDisplays.changed.connect([this](const auto&) {
        const DefaultsStore& store = standardDefaultsStore();
        content_->controller()->followDisplays(Display::activeDisplays(), store.boolForKey("hideMainDisplay"),
                                               effectiveScale(store.floatForKey("scale")));
        if (fit_)
            fit_(*this);
    });
}

void Popover::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    pressAt_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void Popover::mouseMoveEvent(QMouseEvent* event) {
    if (following_) {
        move(event->globalPosition().toPoint() - pressAt_);
        return;
    }
    if (!pressed_ || detached_)
        return;
    const QPoint to = event->globalPosition().toPoint() - pressAt_;
    if ((to - pos()).manhattanLength() < QApplication::startDragDistance())
        return;
    // Dragged away from the tray: an ordinary window with the same content.
    detached_ = true;
    pressed_ = false;
    if (onWayland()) {
        // Only the compositor moves windows there: it takes over this drag, and the
        // window stays where it is dropped. Recreating it as a decorated window
        // would lose the press that the move needs.
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        if (windowHandle())
            windowHandle()->startSystemMove();
        return;
    }
    setWindowFlags(Qt::Window);
    move(to);
    show();
    // The press that started the drag belonged to the window just replaced, so the
    // new one would stay where it was made: it carries the drag on as soon as it is
    // on screen.
    following_ = true;
    carryDragOn(0);
}

void Popover::carryDragOn(int attempt) {
    if (!following_)
        return;
    QWindow* window = windowHandle();
    if (!window || !window->isExposed()) {
        if (attempt < 50)
            QTimer::singleShot(10, this, [this, attempt] { carryDragOn(attempt + 1); });
        else
            following_ = false;
        return;
    }
    // The window manager's own move where it has one; else the window follows the
    // pointer itself until the button goes up.
    if (window->startSystemMove() || !window->setMouseGrabEnabled(true)) {
        following_ = false;
        return;
    }
    move(QCursor::pos() - pressAt_);
}

void Popover::mouseReleaseEvent(QMouseEvent* event) {
    pressed_ = false;
    if (following_) {
        following_ = false;
        if (windowHandle())
            windowHandle()->setMouseGrabEnabled(false);
    }
    QWidget::mouseReleaseEvent(event);
}

void Popover::closeEvent(QCloseEvent* event) {
    // Without this the streams would go on capturing after the popover is gone.
    content_->controller()->stopAll();
    QWidget::closeEvent(event);
}

void Popover::reportFirstFrame(std::chrono::steady_clock::time_point askedAt) {
    firstFrameWatch_.clear();
    firstFrameSeen_ = false;
    // Streams are stopped until Play unless one already runs: then the wait starts at
    // Play, not at the click on the icon (which may have been minutes earlier).
    struct Start {
        std::chrono::steady_clock::time_point at;
        const char* what;
    };
    const auto& streams = content_->controller()->streams.get();
    const bool running = std::any_of(streams.begin(), streams.end(), [](const auto& s) { return s->isStreaming.get(); });
    auto start = std::make_shared<Start>(Start{askedAt, running ? "the popover was opened" : nullptr});
    for (const auto& s : streams) {
        firstFrameWatch_.emplace_back(s->isStreaming.changed.connect([start](bool streaming) {
            if (streaming && !start->what)
                *start = {std::chrono::steady_clock::now(), "streaming started"};
        }));
        firstFrameWatch_.emplace_back(s->currentStatus.changed.connect([this, start](FrameStatus status) {
            // Several streams may report in one turn of the event loop: the first counts.
            if (status != FrameStatus::FrameComplete || firstFrameWatch_.empty() || firstFrameSeen_ || !start->what)
                return;
            firstFrameSeen_ = true;
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start->at).count();
            appLog().notice("First live frame %.1f ms after %s", ms, start->what);
            // Not from inside the signal that is calling us.
            QTimer::singleShot(0, this, [this] { firstFrameWatch_.clear(); });
        }));
    }
}

AppDelegate::AppDelegate() : screenshotQueue_(std::make_unique<DispatchQueue>("io.overlook.Overlook.screenshot")) {
    // The typed keys register their defaults before anything reads them.
    installStandardDefaults();
    preferences_ = std::make_unique<PreferencesCommand>();
}

AppDelegate::~AppDelegate() {
    if (popover_)
        popover_->close();
    screenshotQueue_->shutdown();
}

void AppDelegate::showPopover() {
    if (hasPopover_ && popover_) {
        popover_->show();
        popover_->raise();
        return;
    }
    // A popover the user closed is only forgotten, as a click does.
    popover_ = nullptr;
    hasPopover_ = false;
    togglePopover();
}

void AppDelegate::hidePopover() {
    if (hasPopover_)
        togglePopover();
}

void applyDarkAppearance() {
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QPalette p;
    // Fields and check boxes a shade lighter than the window: Fusion outlines them in a
    // darker shade of the window colour, which alone would vanish on a dark window.
    const QColor window(40, 40, 42), base(58, 58, 62), text(235, 235, 235), disabled(120, 120, 124);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::PlaceholderText, QColor(160, 160, 166));
    // The shades frames and borders are drawn with; the light palette's would glare.
    p.setColor(QPalette::Light, QColor(90, 90, 96));
    p.setColor(QPalette::Midlight, QColor(70, 70, 75));
    p.setColor(QPalette::Mid, QColor(110, 110, 116));
    p.setColor(QPalette::Dark, QColor(24, 24, 26));
    p.setColor(QPalette::Shadow, QColor(0, 0, 0));
    p.setColor(QPalette::Highlight, QColor(10, 132, 255));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(10, 132, 255));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    QApplication::setPalette(p);
}

void AppDelegate::setUpApplication() {
    applyDarkAppearance();
    makeMenu();
    notifier_ = std::make_unique<DesktopNotifier>(nullptr);
    preferences_->setNotifier(notifier_.get());
    registerShowPopoverShortcut(); // before the tray, whose arrival logs the shortcut's path
    showStatusItem();
    attachColorList();
    ownWindows_ = std::make_unique<OwnWindowTracker>();
}

void AppDelegate::makeMenu() {
    mainMenu_ = std::make_unique<QMenu>();
    // Some tray hosts only ever open the menu; this item reaches the popover there.
    mainMenu_->addAction("Show Previews", [this] { togglePopover(); });
    mainMenu_->addSeparator();
    mainMenu_->addAction("Screenshot of All Displays", [this] { captureAllDisplays(); });
    mainMenu_->addAction("Display Information", [this] { logDisplayInfo(); });
    mainMenu_->addAction("Preferences…", [this] { preferences_->preferencesMenuItemActionHandler(); });
    mainMenu_->addSeparator();
    mainMenu_->addAction("Quit", [] { QApplication::quit(); });
}

void AppDelegate::showStatusItem() {
    if (trayExists()) {
        makeStatusItem();
        return;
    }
    appLog().error("No system tray is available yet; waiting for one. The popover opens with the shortcut.");
    appLog().notice("Session: %s", describeSession("none yet").c_str());
    trayWait_ = std::make_unique<QTimer>();
    QObject::connect(trayWait_.get(), &QTimer::timeout, [this] {
        if (!trayExists())
            return;
        trayWait_->stop();
        appLog().notice("A system tray is available; showing the icon");
        makeStatusItem();
    });
    trayWait_->start(kTrayWaitMs);
    QTimer::singleShot(kNoTrayNoticeMs, trayWait_.get(), [this] {
        if (!statusItem_)
            tellNoTray();
    });
}

void AppDelegate::tellNoTray() {
    // Without it a desktop without a tray (GNOME as it comes) shows nothing of us at all.
    appLog().notice("No tray appeared; telling the user how to reach the previews");
    const ShortcutPath& path = shortcutPath();
    QString body = QStringLiteral("This desktop shows no tray icon for Overlook. Open the previews with "
                                  "“overlook popover” or by starting Overlook again from the launcher");
    body += path.active && path.kind != ShortcutPath::Kind::Compositor ? QStringLiteral(", or with its shortcut.")
                                                                       : QStringLiteral(".");
    DesktopNotifier::Notice notice{QStringLiteral("Overlook runs without a tray icon"), body, {}, false};
    notice.actions.emplace_back(QStringLiteral("show"), QStringLiteral("Show Previews"));
    if (onGnome()) {
        body += QStringLiteral(" GNOME can open them with a keyboard shortcut of its own: Ctrl+Alt+Super+P.");
        notice.body = body;
        notice.actions.emplace_back(QStringLiteral("add-gnome-shortcut"), QStringLiteral("Add the Shortcut"));
    }
    notice.onAction = [this](const QString& key) {
        if (key == QLatin1String("show"))
            showPopover();
        else if (key == QLatin1String("add-gnome-shortcut"))
            acceptGnomeShortcut();
    };
    notifier_->notify(notice);
}

void AppDelegate::acceptGnomeShortcut() {
    const QString error = addGnomeShortcut();
    if (!error.isEmpty()) {
        appLog().error("Cannot add the GNOME shortcut: %s", qPrintable(error));
        notifier_->notify({QStringLiteral("The shortcut was not added"), error, {}, true});
        return;
    }
    appLog().notice("Added the GNOME custom shortcut %s running %s", kGnomeBinding, kToggleCommand);
    ShortcutPath path = shortcutPath();
    path.note = "GNOME runs “" + std::string(kToggleCommand) +
                "” with Ctrl+Alt+Super+P (Settings, Keyboard, Custom Shortcuts).";
    setShortcutPath(path);
}

void AppDelegate::makeStatusItem() {
    statusItem_ = std::make_unique<QSystemTrayIcon>(statusItemIcon());
    statusItem_->setToolTip("Overlook");
    statusItem_->setContextMenu(mainMenu_.get());
    QObject::connect(statusItem_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason r) { activated(r); });
    statusItem_->show();
    notifier_->setFallback(statusItem_.get());
    appLog().notice("Session: %s",
                    describeSession(statusNotifierHostExists() ? "StatusNotifierItem" : "XEmbed").c_str());
}

void AppDelegate::activated(QSystemTrayIcon::ActivationReason reason) {
    // A second click soon after the first arrives as a double click; it toggles the
    // popover like any other click, or a quick close would be lost. A middle click
    // toggles it too: only the menu click is not ours.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick ||
        reason == QSystemTrayIcon::MiddleClick) {
        // Control and a left click: the menu, as a right click.
        if (QGuiApplication::queryKeyboardModifiers() & Qt::ControlModifier)
            mainMenu_->popup(QCursor::pos());
        else
            togglePopover();
    }
    // A right click (Context) shows the context menu by itself.
}

void AppDelegate::togglePopover() {
    if (hasPopover_) {
        // Also when the user had closed it already: this click only forgets it.
        if (popover_)
            popover_->close();
        popover_ = nullptr;
        hasPopover_ = false;
        return;
    }
    const auto askedAt = std::chrono::steady_clock::now();
    auto* popover = new Popover();
    popover->reportFirstFrame(askedAt);
    fitPopover(*popover);
    popover->onDisplaysFollowed([this](Popover& p) { fitPopover(p); });
    popover_ = popover;
    hasPopover_ = true;
    popover->show();
}

void AppDelegate::fitPopover(Popover& popover) const {
    const Size size = popover.content()->controller()->contentSize(600, 30);
    if (onWayland() && !popover.isDetached()) {
        // Clients cannot place windows there; a window of fixed size is one that
        // tiling compositors float, and window rules can put it under the bar.
        popover.setFixedSize(int(size.width), int(size.height));
        return;
    }
    popover.resize(int(size.width), int(size.height));
    if (!popover.isDetached())
        placePopover(popover);
}

void AppDelegate::placePopover(Popover& popover) const {
    const QRect icon = statusItem_ ? statusItem_->geometry() : QRect();
    const QPoint anchor = icon.isEmpty() ? QCursor::pos() : QPoint(icon.center().x(), icon.bottom() + 1);
    const QScreen* screen = QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    QPoint at(anchor.x() - popover.width() / 2, anchor.y());
    if (screen) {
        const QRect area = screen->availableGeometry();
        // A tray at the bottom of the screen: open upward.
        if (at.y() + popover.height() > area.bottom())
            at.setY((icon.isEmpty() ? anchor.y() : icon.top()) - popover.height());
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - popover.width())));
        at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - popover.height())));
    }
    popover.move(at);
}

void AppDelegate::attachColorList() {
    QFile file(colorListPath());
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        appLog().error("Cannot read the colour list %s", qPrintable(file.fileName()));
        return;
    }
    int index = 0;
    bool header = false;
    while (!file.atEnd() && index < QColorDialog::customCount()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line == "GIMP Palette") {
            header = true;
            continue;
        }
        const QStringList parts = line.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
        bool r = false, g = false, b = false;
        if (parts.size() >= 3) {
            const int red = parts[0].toInt(&r), green = parts[1].toInt(&g), blue = parts[2].toInt(&b);
            if (r && g && b)
                QColorDialog::setCustomColor(index++, QColor(red, green, blue));
        }
    }
    if (!header)
        appLog().error("%s is not a colour list", qPrintable(file.fileName()));
}

void AppDelegate::registerShowPopoverShortcut() {
    installShortcutService();
    // The action holds the delegate, which lives as long as the application.
    KeyboardShortcuts::onKeyUp(KeyboardShortcuts::Name::showPopover(), [this] { togglePopover(); });
}

void AppDelegate::captureAllDisplays() {
    // The answer comes back on the main queue, possibly after the delegate is gone.
    QPointer<DesktopNotifier> notifier = notifier_.get();
    overlook::captureAllDisplays(std::time(nullptr), screenshotQueue_.get(), [notifier](const SavedFile& saved) {
        DesktopNotifier::Notice notice;
        if (!saved.error.empty()) {
            plainLog("%s", saved.error.c_str());
            notice = {"Screenshot failed", QString::fromStdString(saved.error), {}, true};
        } else {
            appLog().info("Saved the screenshot %s", saved.path.c_str());
            const QString path = QString::fromStdString(saved.path);
            // Where it went, as a person finds it again: "~/Desktop" rather than the full path.
            QString folder = QFileInfo(path).absolutePath();
            const QString home = QDir::homePath();
            if (folder == home || folder.startsWith(home + '/'))
                folder = '~' + folder.mid(home.size());
            notice = {"Screenshot saved", QFileInfo(path).fileName() + " in " + folder, path, false};
        }
        if (notifier)
            notifier->notify(notice);
    });
}

void AppDelegate::logDisplayInfo() {
    LocalDisplayManager& manager = LocalDisplayManager::shared();
    manager.displayInformation();
    if (!displayInformation_)
        displayInformation_ = std::make_unique<DisplayInformationWindow>();
    displayInformation_->present(manager.availableDisplays.get());
}

int runApplication(int argc, char** argv) {
    chooseToolkitPlatform();
    QApplication app(argc, argv);
    app.setApplicationName("Overlook");
    app.setDesktopFileName("overlook");
    app.setQuitOnLastWindowClosed(false); // a tray application

    // One instance per session: a second start shows the first one's popover.
    control::ControlService control;
    QString why;
    switch (control.claim(&why)) {
    case control::ControlService::Claim::Owned:
        break;
    case control::ControlService::Claim::AnotherInstance:
        if (control::ControlService::showPopoverOfRunningInstance(&why))
            return 0;
        std::fprintf(stderr, "overlook: Overlook is running already but does not answer: %s\n", qPrintable(why));
        return 1;
    case control::ControlService::Claim::NoBus:
        std::fprintf(stderr,
                     "overlook: no session bus (%s); running on its own, without a check for another instance "
                     "and without control from the command line\n",
                     qPrintable(why));
        break;
    }

    installQtMainQueue();
    enableKeyMonitor();
    if (!setUpBackend(std::nullopt))
        return 1;
    AppDelegate delegate;
    delegate.setUpApplication();
    control.setActions({
        .togglePopover = [&delegate] { delegate.togglePopover(); },
        .showPopover = [&delegate] { delegate.showPopover(); },
        .hidePopover = [&delegate] { delegate.hidePopover(); },
        .showPreferences = [&delegate] { delegate.preferences().preferencesMenuItemActionHandler(); },
        .screenshotAllDisplays = [&delegate] { delegate.captureAllDisplays(); },
        .showDisplayInformation = [&delegate] { delegate.logDisplayInfo(); },
    });
    return app.exec();
}

} // namespace overlook
