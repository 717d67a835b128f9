#pragma once
// Desktop notifications for the outcome of the menu's commands: the desktop's
// notification service (org.freedesktop.Notifications on the session bus) when
// there is one, else a message from the tray icon. A notification about a saved
// file opens the file when the user clicks it. Main thread only.

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <utility>
#include <vector>

class QSystemTrayIcon;

namespace overlook {

class DesktopNotifier final : public QObject {
    Q_OBJECT
public:
    // `fallback` (may be null) shows the message when no service answers.
    explicit DesktopNotifier(QSystemTrayIcon* fallback, QObject* parent = nullptr);
    // The tray icon once there is one; it must outlive the notifier.
    void setFallback(QSystemTrayIcon* fallback);

    struct Notice {
        QString summary;
        QString body;
        QString openPath; // opened when the notification is clicked; empty: none
        bool failure = false;
        // More buttons as (key, label), reported to `onAction` with their key; the
        // key "default" is a click on the notification (when it opens no file).
        std::vector<std::pair<QString, QString>> actions{};
        std::function<void(const QString& key)> onAction{};
    };
    void notify(const Notice& notice);

    // Opens a file with the user's application for its type (xdg-open).
    static void openFile(const QString& path);

private Q_SLOTS:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id, uint reason);

private:
    void showFallback(const Notice& notice);

    QSystemTrayIcon* fallback_;
    QString fallbackOpenPath_;
    std::function<void(const QString&)> fallbackAction_;
    std::map<uint, QString> openPaths_; // notification id → file
    std::map<uint, std::function<void(const QString&)>> actionHandlers_;
};

} // namespace overlook
