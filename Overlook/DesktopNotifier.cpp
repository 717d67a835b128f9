#include "Overlook/DesktopNotifier.h"

#include "Foundation/Logger.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSystemTrayIcon>
#include <QUrl>

namespace overlook {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr int kFallbackShownMs = 8000;

const Logger& notifierLog() {
    static const Logger log(logs::kApplication, "Notifications");
    return log;
}

} // namespace

DesktopNotifier::DesktopNotifier(QSystemTrayIcon* fallback, QObject* parent) : QObject(parent), fallback_(nullptr) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        bus.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(actionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(notificationClosed(uint, uint)));
    }
    setFallback(fallback);
}

void DesktopNotifier::setFallback(QSystemTrayIcon* fallback) {
    if (fallback_)
        disconnect(fallback_, &QSystemTrayIcon::messageClicked, this, nullptr);
    fallback_ = fallback;
    if (fallback_)
        connect(fallback_, &QSystemTrayIcon::messageClicked, this, [this] {
            if (!fallbackOpenPath_.isEmpty())
                openFile(fallbackOpenPath_);
            else if (fallbackAction_)
                fallbackAction_(QStringLiteral("default"));
        });
}

void DesktopNotifier::notify(const Notice& notice) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        showFallback(notice);
        return;
    }
    QStringList actions;
    QVariantMap hints;
    hints["desktop-entry"] = QStringLiteral("overlook");
    hints["urgency"] = QVariant::fromValue(uchar(notice.failure ? 2 : 1));
    if (!notice.openPath.isEmpty()) {
        // "default" is what a click on the notification itself invokes.
        actions << QStringLiteral("default") << QStringLiteral("Open");
        // The server reads the file as a picture: offer it only what is one.
        if (QMimeDatabase().mimeTypeForFile(notice.openPath).name().startsWith(QLatin1String("image/")))
            hints["image-path"] = QUrl::fromLocalFile(notice.openPath).toString();
    }
    for (const auto& [key, label] : notice.actions)
        actions << key << label;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    // Servers may read the body as markup; what we say is plain text.
    call << QStringLiteral("Overlook") << uint(0) << QStringLiteral("overlook") << notice.summary
         << notice.body.toHtmlEscaped() << actions << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, notice] {
        watcher->deleteLater();
        QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            notifierLog().info("No notification service (%s); the tray icon shows the message",
                               qPrintable(reply.error().message()));
            showFallback(notice);
            return;
        }
        if (!notice.openPath.isEmpty())
            openPaths_[reply.value()] = notice.openPath;
        if (notice.onAction)
            actionHandlers_[reply.value()] = notice.onAction;
    });
}

void DesktopNotifier::showFallback(const Notice& notice) {
    if (!fallback_ || !fallback_->isVisible()) {
        notifierLog().notice("%s: %s", qPrintable(notice.summary), qPrintable(notice.body));
        return;
    }
    fallbackOpenPath_ = notice.openPath;
    fallbackAction_ = notice.onAction;
    fallback_->showMessage(notice.summary, notice.body,
                           notice.failure ? QSystemTrayIcon::Critical : QSystemTrayIcon::Information,
                           kFallbackShownMs);
}

void DesktopNotifier::actionInvoked(uint id, const QString& actionKey) {
    const auto it = openPaths_.find(id);
    if (it != openPaths_.end() && actionKey == QLatin1String("default")) {
        openFile(it->second);
        return;
    }
    if (const auto handler = actionHandlers_.find(id); handler != actionHandlers_.end())
        handler->second(actionKey);
}

void DesktopNotifier::notificationClosed(uint id, uint) {
    openPaths_.erase(id);
    actionHandlers_.erase(id);
}

void DesktopNotifier::openFile(const QString& path) {
    if (!QFileInfo::exists(path)) {
        notifierLog().error("Cannot open %s: it is gone", qPrintable(path));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        notifierLog().error("Cannot open %s: no application opens it (xdg-open)", qPrintable(path));
}

} // namespace overlook
