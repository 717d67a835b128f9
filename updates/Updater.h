#pragma once
// Our update checker: its settings in the defaults store (automatic checks, the
// check interval in seconds, sending the anonymous system profile, automatic
// downloads, the date of the last check), checks on a timer while automatic checks
// are on, and checks that the user starts. A check fetches the update feed (see
// Appcast.h) with Qt Network and compares the newest release with the running one.
//
// A scheduled check that finds a newer version, other than the one the user chose
// to skip, tells the user through the notifier; with automatic downloads on, the
// package is fetched and verified first (UpdateDownload.h) and the notice offers to
// open it.
//
// Feeds are fetched over HTTPS; plain HTTP is refused (tests may allow it to the
// loopback interface). Main thread only: the settings' change signals and the results come on
// the thread that owns the updater.

#include "updates/Appcast.h"
#include "updates/UpdateDownload.h"
#include "updates/UpdateNotifier.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <map>
#include <memory>
#include <optional>
#include <string>

class QNetworkAccessManager;

class QTimer;

namespace overlook {
class PropertyList;
class UserDefaults;
} // namespace overlook

namespace overlook::updates {

// The check intervals the Updates pane offers, in seconds.
enum class UpdateFrequency { hourly, daily, weekly };
double rawValue(UpdateFrequency frequency);
std::optional<UpdateFrequency> updateFrequencyFromRawValue(double seconds);
inline constexpr UpdateFrequency kAllUpdateFrequencies[] = {UpdateFrequency::hourly, UpdateFrequency::daily,
                                                            UpdateFrequency::weekly};

// The application's information entries the updater reads.
struct ApplicationInfo {
    std::string identifier;                // reverse-DNS
    std::string version;                   // the running version
    std::optional<std::string> feedURL;    // "SUFeedURL"
    std::optional<std::string> updateChannel; // "SUUpdateChannel"
};

// The user's "Download beta releases" choice.
inline constexpr const char* kIncludeBetasKey = "KtIncludeBetas";

// Asked for the feed address before each check. With beta releases wanted, the
// release feed of the application becomes its beta feed.
class UpdaterDelegate {
public:
    // Registers the default of "KtIncludeBetas" from the update channel: true for
    // "betas", false for any other channel, nothing without one.
    UpdaterDelegate(ApplicationInfo info, std::shared_ptr<UserDefaults> store);

    bool includeBetaReleases() const;
    void setIncludeBetaReleases(bool include) const;
    // Nothing when betas are not wanted or the identifier or feed is missing; else
    // the feed with every "/<identifier>/releases/" turned into "/<identifier>/betas/".
    std::optional<std::string> feedURLString() const;

    const ApplicationInfo& info() const { return info_; }
    const std::shared_ptr<UserDefaults>& store() const { return store_; }

private:
    ApplicationInfo info_;
    std::shared_ptr<UserDefaults> store_;
};

struct UpdateCheckResult {
    enum class Kind { upToDate, updateAvailable, failed };
    Kind kind = Kind::failed;
    std::optional<AppcastItem> item; // the newest release the feed lists
    QString error;                   // for `failed`: what went wrong, for the user
    bool userInitiated = false;
};

class Updater final : public QObject {
    Q_OBJECT
public:
    // The keys of the updater's settings in the defaults store.
    static constexpr const char* kAutomaticallyChecksKey = "automaticallyChecksForUpdates";
    static constexpr const char* kCheckIntervalKey = "updateCheckInterval";
    static constexpr const char* kSendsSystemProfileKey = "sendsSystemProfile";
    static constexpr const char* kAutomaticallyDownloadsKey = "automaticallyDownloadsUpdates";
    static constexpr const char* kLastCheckDateKey = "lastUpdateCheckDate";
    // The version the user chose "Skip This Version" for.
    static constexpr const char* kSkippedVersionKey = "skippedVersion";
    // The last package downloaded and verified, so that a restart does not fetch it again.
    static constexpr const char* kDownloadedVersionKey = "downloadedUpdateVersion";
    static constexpr const char* kDownloadedPathKey = "downloadedUpdatePath";
    static constexpr double kDefaultCheckIntervalSeconds = 86400;
    // Scheduled checks never come closer together than this, whatever is stored.
    static constexpr double kMinimumCheckIntervalSeconds = 3600;
    // The largest feed we read.
    static constexpr qint64 kMaximumFeedBytes = 4 * 1024 * 1024;

    // The delegate answers the feed address; the store keeps the settings.
    explicit Updater(std::shared_ptr<UpdaterDelegate> delegate, QObject* parent = nullptr);
    ~Updater() override;

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    // Seconds; a missing or unusable entry reads as one day.
    double updateCheckInterval() const;
    void setUpdateCheckInterval(double seconds);
    bool sendsSystemProfile() const;
    void setSendsSystemProfile(bool on);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool on);
    std::optional<QDateTime> lastUpdateCheckDate() const;

    // The address a check fetches now (the delegate's, else the application's feed),
    // with the system profile's query items when that is on. Empty without a feed.
    QUrl feedURL() const;
    // The query items sent with the system profile: the operating system's name and
    // version, the processor architecture, the user's language and the running
    // version. Nothing that identifies the user or the machine.
    static QList<std::pair<QString, QString>> systemProfile(const std::string& appVersion);

    // Starts a check unless one is running. The result comes with checkFinished.
    void checkForUpdates();
    void checkInBackground();
    bool isChecking() const { return reply_ != nullptr; }
    // How long a fetch may go without receiving anything (30 s unless set).
    void setTransferTimeout(int milliseconds) { transferTimeoutMs_ = milliseconds; }
    // When the next scheduled check is due (none while automatic checks are off).
    std::optional<QDateTime> nextScheduledCheck() const;

    const std::shared_ptr<UpdaterDelegate>& delegate() const { return delegate_; }

    // Where news of updates goes; not owned, may be null (then nothing is said).
    void setNotifier(UpdateNotifier* notifier) { notifier_ = notifier; }
    // Later scheduled checks say nothing about this version (an empty one: about none).
    void skipVersion(const QString& version);
    QString skippedVersion() const;
    UpdateDownloader& downloader() { return *downloader_; }

Q_SIGNALS:
    // One of the settings above changed (also when another process changed it).
    void settingsChanged();
    void checkStarted(bool userInitiated);
    void checkFinished(const overlook::updates::UpdateCheckResult& result);
    // The user asked to see an update from its notification.
    void showUpdateRequested(const overlook::updates::UpdateCheckResult& result);
    // An automatic download ended, kept or refused.
    void downloadFinished(const overlook::updates::DownloadResult& result);

private:
    void startCheck(bool userInitiated);
    void finishCheck(QNetworkReply* reply);
    void reschedule();
    void announceChange();
    void announce(const UpdateCheckResult& result);
    QString verifiedDownloadOf(const AppcastItem& item) const; // empty: none, or no longer good
    void openPackage(const AppcastItem& item, const QString& path);
    void announceDownload(const DownloadResult& result);
    void notifyAbout(const UpdateCheckResult& result, const QString& summary, const QString& body,
                     const QString& packagePath, bool failure);

    std::shared_ptr<UpdaterDelegate> delegate_;
    std::shared_ptr<UserDefaults> store_;
    std::unique_ptr<QNetworkAccessManager> network_;
    std::unique_ptr<UpdateDownloader> downloader_;
    UpdateNotifier* notifier_ = nullptr;
    std::optional<UpdateCheckResult> pending_;          // whose package is being fetched
    QPointer<QNetworkReply> reply_;
    QTimer* schedule_;
    int transferTimeoutMs_ = 30000;
    std::optional<QDateTime> lastAttempt_; // of this run
    std::vector<std::uint64_t> observers_;
    std::shared_ptr<Updater*> alive_;
};

// Whether `url` may be fetched: HTTPS (or plain HTTP to a loopback address while
// tests allow it). The reason when it may not.
std::optional<QString> refusedFeedURL(const QUrl& url);
// HTTPS, or plain HTTP to this machine while allowPlainHttpToLoopbackForTests is on.
bool isHttpsOrLoopback(const QUrl& url);
// Why a fetch of `from` may not follow a redirect to `to` (an address the fetch
// itself would refuse, or from HTTPS down to plain HTTP), or nothing when it may.
std::optional<QString> refusedRedirect(const QUrl& from, const QUrl& to);
// Off unless a test turns it on: the tests serve feeds and packages over plain HTTP
// on 127.0.0.1. Process-wide; main thread only.
void allowPlainHttpToLoopbackForTests(bool allow);

} // namespace overlook::updates
