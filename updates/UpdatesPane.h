#pragma once
// The Updates pane of the preferences window: automatic checks with their
// frequency and a "Check Now…" button, three switches with their explanations
// (beta releases, automatic downloads, the anonymous system profile) and the time of
// the last check. Every control writes the updater's settings at once and follows
// them when they change elsewhere. Main thread only.

#include "updates/Updater.h"

#include <QDialog>
#include <QImage>
#include <QTextBrowser>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace overlook::updates {

// The last-check line's date: "Never" without one; "Today at 14:03", "Yesterday at
// 09:12", else the long date and the short time, in the user's language.
QString lastCheckText(const std::optional<QDateTime>& date, const QDateTime& now = QDateTime::currentDateTime());

// Release notes come from the feed and are not trusted: they are shown as a
// document with nothing active. Scripts, styles and embedded objects are dropped,
// nothing they name is loaded (only inline data: images, up to a size, are shown;
// anything else is an empty placeholder), links that are not https lose their link,
// and an https link opens in the browser only when the user clicks it.
class ReleaseNotesBrowser final : public QTextBrowser {
public:
    static constexpr qsizetype kMaximumInlineImageBytes = 1 << 20;
    static constexpr int kMaximumInlineImageSide = 2048;

    explicit ReleaseNotesBrowser(QWidget* parent = nullptr);
    void setNotes(const QString& html);
    QVariant loadResource(int type, const QUrl& name) override;
    // What stands for every refused image.
    static QImage placeholderImage();
    // The links the browser opens: https with a host.
    static bool isOpenableLink(const QUrl& url);
};

// The small window of a check the user started: "Checking…", then "You're up to
// date", "Version X is available" with the release notes and a download link, or
// what went wrong.
class UpdateCheckDialog final : public QDialog {
public:
    explicit UpdateCheckDialog(QWidget* parent = nullptr);
    void showChecking();
    void showResult(const UpdateCheckResult& result, const QString& runningVersion);

    QLabel* headline() const { return headline_; }
    QLabel* message() const { return message_; }
    ReleaseNotesBrowser* releaseNotes() const { return notes_; }
    // Shown with an available update; records the version as skipped.
    QPushButton* skipButton() const { return skip_; }
    // The version the window shows, empty when it shows none.
    const QString& shownVersion() const { return shownVersion_; }

private:
    QLabel* headline_;
    QLabel* message_;
    ReleaseNotesBrowser* notes_;
    QPushButton* skip_;
    QString shownVersion_;
};

class UpdatesPreferencesView final : public QWidget {
public:
    explicit UpdatesPreferencesView(Updater& updater, QWidget* parent = nullptr);

    QCheckBox* checkForUpdates() const { return checkForUpdates_; }
    QComboBox* updateFrequency() const { return updateFrequency_; }
    QPushButton* checkNowButton() const { return checkNow_; }
    QCheckBox* includeBetas() const { return includeBetas_; }
    QCheckBox* automaticallyDownloadsUpdates() const { return automaticallyDownloads_; }
    QCheckBox* sendsSystemProfile() const { return sendsSystemProfile_; }
    QLabel* lastCheck() const { return lastCheck_; }
    // Made on the first "Check Now…".
    UpdateCheckDialog* checkDialog() const { return dialog_; }

    // Reads every control's value from the updater.
    void refresh();
    // Shows the update in the check window (from its notification's "Show").
    void showUpdate(const UpdateCheckResult& result);

private:
    Updater& updater_;
    QCheckBox* checkForUpdates_;
    QComboBox* updateFrequency_;
    QPushButton* checkNow_;
    QCheckBox* includeBetas_;
    QCheckBox* automaticallyDownloads_;
    QCheckBox* sendsSystemProfile_;
    QLabel* lastCheck_;
    UpdateCheckDialog* dialog_ = nullptr;
    UpdateCheckDialog* dialog();
};

} // namespace overlook::updates
