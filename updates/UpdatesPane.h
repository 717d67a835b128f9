#pragma once
// The Updates pane of the preferences window: automatic checks with their
// frequency and a "Check Now…" button, three switches with their explanations
// (beta releases, automatic downloads, the anonymous system profile) and the time of
// the last check. Every control writes the updater's settings at once and follows
// them when they change elsewhere. Main thread only.

#include "updates/Updater.h"

#include <QDialog>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTextBrowser;

namespace overlook::updates {

// The last-check line's date: "Never" without one; "Today at 14:03", "Yesterday at
// 09:12", else the long date and the short time, in the user's language.
QString lastCheckText(const std::optional<QDateTime>& date, const QDateTime& now = QDateTime::currentDateTime());

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
    QTextBrowser* releaseNotes() const { return notes_; }

private:
    QLabel* headline_;
    QLabel* message_;
    QTextBrowser* notes_;
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
};

} // namespace overlook::updates
