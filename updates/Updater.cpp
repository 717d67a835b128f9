#include "updates/Updater.h"

#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "settings_store/Defaults.h"
#include "settings_store/UserDefaults.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <climits>
#include <cmath>

namespace overlook::updates {

namespace {

const Logger& log() {
    static const Logger logger(logs::kApplication, "Updater");
    return logger;
}

bool readBool(const UserDefaults& store, const char* key, bool fallback) {
    return Defaults::fromStored<bool>(store.object(key)).value_or(fallback);
}

} // namespace

double rawValue(UpdateFrequency frequency) {
    switch (frequency) {
    case UpdateFrequency::hourly:
        return 3600;
    case UpdateFrequency::daily:
        return 86400;
    case UpdateFrequency::weekly:
        return 604800;
    }
    return 0;
}

std::optional<UpdateFrequency> updateFrequencyFromRawValue(double seconds) {
    for (UpdateFrequency f : kAllUpdateFrequencies)
        if (rawValue(f) == seconds)
            return f;
    return std::nullopt;
}

// ---- the delegate ------------------------------------------------------------------

UpdaterDelegate::UpdaterDelegate(ApplicationInfo info, std::shared_ptr<UserDefaults> store)
    : info_(std::move(info)), store_(std::move(store)) {
    if (!info_.updateChannel)
        return;
    // Only a default: the user's own choice, once made, wins.
    const bool betas = *info_.updateChannel == "betas";
    plainLog("Registering KtIncludeBetas as %s", betas ? "true" : "false");
    store_->registerDefaults({{kIncludeBetasKey, PropertyList(betas)}});
}

bool UpdaterDelegate::includeBetaReleases() const { return store_->boolForKey(kIncludeBetasKey); }

void UpdaterDelegate::setIncludeBetaReleases(bool include) const {
    store_->set(kIncludeBetasKey, PropertyList(include));
}

std::optional<std::string> UpdaterDelegate::feedURLString() const {
    if (info_.identifier.empty() || !info_.feedURL || !includeBetaReleases())
        return std::nullopt;
    const std::string from = "/" + info_.identifier + "/releases/";
    const std::string to = "/" + info_.identifier + "/betas/";
    std::string feed = *info_.feedURL;
    for (std::size_t at = feed.find(from); at != std::string::npos; at = feed.find(from, at + to.size()))
        feed.replace(at, from.size(), to);
    return feed;
}

// ---- feed addresses -------------------------------------------------------------------

namespace {
bool gPlainHttpToLoopback = false;
} // namespace

void allowPlainHttpToLoopbackForTests(bool allow) { gPlainHttpToLoopback = allow; }

bool isHttpsOrLoopback(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    const QString host = url.host().toLower();
    return gPlainHttpToLoopback && scheme == QLatin1String("http") &&
           (host == QLatin1String("localhost") || QHostAddress(host).isLoopback());
}

std::optional<QString> refusedRedirect(const QUrl& from, const QUrl& to) {
    if (from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
        to.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("Refusing the redirect from %1 to %2: it leaves HTTPS.")
            .arg(from.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo),
                 to.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo));
    return std::nullopt;
}

std::optional<QString> refusedFeedURL(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("The update feed address \"%1\" is not a web address.").arg(url.toString());
    if (isHttpsOrLoopback(url))
        return std::nullopt;
    if (url.scheme().toLower() == QLatin1String("http"))
        return QStringLiteral("Refusing the update feed %1: updates are only fetched over HTTPS.")
            .arg(url.toString(QUrl::RemoveQuery));
    return QStringLiteral("Refusing the update feed %1: it is not an HTTPS address.")
        .arg(url.toString(QUrl::RemoveQuery));
}

// ---- the updater ------------------------------------------------------------------------

Updater::Updater(std::shared_ptr<UpdaterDelegate> delegate, QObject* parent)
    : QObject(parent), delegate_(std::move(delegate)), store_(delegate_->store()),
      network_(std::make_unique<QNetworkAccessManager>()), downloader_(std::make_unique<UpdateDownloader>(*network_)),
      schedule_(new QTimer(this)),
      alive_(std::make_shared<Updater*>(this)) {
    downloader_->setRunningVersion(QString::fromStdString(delegate_->info().version));
    schedule_->setSingleShot(true);
    connect(schedule_, &QTimer::timeout, this, [this] {
        const auto due = nextScheduledCheck();
        if (due && *due <= QDateTime::currentDateTimeUtc())
            checkInBackground();
        else
            reschedule();
    });
    std::weak_ptr<Updater*> weak = alive_;
    for (const char* key : {kAutomaticallyChecksKey, kCheckIntervalKey, kSendsSystemProfileKey,
                            kAutomaticallyDownloadsKey, kLastCheckDateKey, kIncludeBetasKey})
        observers_.push_back(store_->addObserver(key, ObservingOptions::New, [weak](const StoreChange&) {
            // The store calls on the thread that changed it; we answer on ours.
            mainQueue().async([weak] {
                if (auto self = weak.lock())
                    (*self)->announceChange();
            });
        }));
    connect(downloader_.get(), &UpdateDownloader::finished, this, &Updater::announceDownload);
    reschedule();
}

Updater::~Updater() {
    for (auto id : observers_)
        store_->removeObserver(id);
    alive_.reset();
    if (reply_)
        reply_->abort();
}

void Updater::announceChange() {
    reschedule();
    Q_EMIT settingsChanged();
}

bool Updater::automaticallyChecksForUpdates() const { return readBool(*store_, kAutomaticallyChecksKey, false); }
void Updater::setAutomaticallyChecksForUpdates(bool on) { store_->set(kAutomaticallyChecksKey, PropertyList(on)); }

double Updater::updateCheckInterval() const {
    const auto seconds = Defaults::fromStored<double>(store_->object(kCheckIntervalKey));
    if (!seconds || !std::isfinite(*seconds) || *seconds <= 0)
        return kDefaultCheckIntervalSeconds;
    return *seconds;
}
void Updater::setUpdateCheckInterval(double seconds) { store_->set(kCheckIntervalKey, PropertyList(seconds)); }

bool Updater::sendsSystemProfile() const { return readBool(*store_, kSendsSystemProfileKey, false); }
void Updater::setSendsSystemProfile(bool on) { store_->set(kSendsSystemProfileKey, PropertyList(on)); }

bool Updater::automaticallyDownloadsUpdates() const { return readBool(*store_, kAutomaticallyDownloadsKey, false); }
void Updater::setAutomaticallyDownloadsUpdates(bool on) {
    store_->set(kAutomaticallyDownloadsKey, PropertyList(on));
}

std::optional<QDateTime> Updater::lastUpdateCheckDate() const {
    const auto stored = store_->object(kLastCheckDateKey);
    if (!stored)
        return std::nullopt;
    if (const auto* date = stored->get<Date>())
        return QDateTime::fromSecsSinceEpoch(date->secondsSince1970, Qt::UTC);
    return std::nullopt;
}

QList<std::pair<QString, QString>> Updater::systemProfile(const std::string& appVersion) {
    return {
        {QStringLiteral("osName"), QSysInfo::productType()},
        {QStringLiteral("osVersion"), QSysInfo::productVersion()},
        {QStringLiteral("cpuArchitecture"), QSysInfo::currentCpuArchitecture()},
        {QStringLiteral("lang"), QLocale().name().section(QLatin1Char('_'), 0, 0)},
        {QStringLiteral("appVersion"), QString::fromStdString(appVersion)},
    };
}

QUrl Updater::feedURL() const {
    std::optional<std::string> feed = delegate_->feedURLString();
    if (!feed)
        feed = delegate_->info().feedURL;
    if (!feed || feed->empty())
        return {};
    QUrl url(QString::fromStdString(*feed));
    if (sendsSystemProfile()) {
        QUrlQuery query(url);
        for (const auto& [name, value] : systemProfile(delegate_->info().version))
            query.addQueryItem(name, value);
        url.setQuery(query);
    }
    return url;
}

std::optional<QDateTime> Updater::nextScheduledCheck() const {
    if (!automaticallyChecksForUpdates())
        return std::nullopt;
    const auto last = lastUpdateCheckDate();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime retry = lastAttempt_ ? lastAttempt_->addSecs(qint64(kMinimumCheckIntervalSeconds)) : now;
    if (!last)
        return std::max(now, retry);
    const auto interval = static_cast<qint64>(std::max(updateCheckInterval(), kMinimumCheckIntervalSeconds));
    // A last check in the future (a clock set back) would hold checks off for good.
    return std::max(std::min(*last, now).addSecs(interval), retry);
}

void Updater::reschedule() {
    schedule_->stop();
    const auto due = nextScheduledCheck();
    if (!due || isChecking())
        return;
    const qint64 ms = std::clamp<qint64>(QDateTime::currentDateTimeUtc().msecsTo(*due), 0, INT_MAX);
    schedule_->start(static_cast<int>(ms));
}

void Updater::checkForUpdates() { startCheck(true); }
void Updater::checkInBackground() { startCheck(false); }

void Updater::startCheck(bool userInitiated) {
    if (reply_) {
        // The running check answers; the user asked, so it is reported as theirs.
        if (userInitiated)
            reply_->setProperty("userInitiated", true);
        return;
    }
    // A failed check must not be retried at once, or an unreachable feed would be asked in a loop.
    lastAttempt_ = QDateTime::currentDateTimeUtc();
    const auto fail = [&](const QString& message) {
        log().error("Update check: %s", qPrintable(message));
        UpdateCheckResult result;
        result.error = message;
        result.userInitiated = userInitiated;
        Q_EMIT checkFinished(result);
    };
    const QUrl url = feedURL();
    if (url.isEmpty())
        return fail(QStringLiteral("No update feed is configured for this copy of the application."));
    if (auto refused = refusedFeedURL(url))
        return fail(*refused);

    schedule_->stop();
    QNetworkRequest request(url);
    request.setTransferTimeout(transferTimeoutMs_);
    // Every redirect is checked like the feed address itself.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Overlook/%1").arg(QString::fromStdString(delegate_->info().version)));
    QNetworkReply* reply = network_->get(request);
    reply->setProperty("userInitiated", userInitiated);
    reply_ = reply;
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& to) {
        auto refused = refusedRedirect(reply->url(), to);
        if (!refused)
            refused = refusedFeedURL(to);
        if (refused) {
            reply->setProperty("refusal", *refused);
            reply->abort();
            return;
        }
        Q_EMIT reply->redirectAllowed();
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaximumFeedBytes) {
            reply->setProperty("refusal", QStringLiteral("The update feed is larger than %1 MiB; it was not read.")
                                              .arg(kMaximumFeedBytes / (1024 * 1024)));
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishCheck(reply); });
    Q_EMIT checkStarted(userInitiated);
}

void Updater::finishCheck(QNetworkReply* reply) {
    reply->deleteLater();
    reply_ = nullptr;
    UpdateCheckResult result;
    result.userInitiated = reply->property("userInitiated").toBool();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString host = reply->url().host();

    if (const QVariant refusal = reply->property("refusal"); refusal.isValid()) {
        result.error = refusal.toString();
    } else if (reply->error() == QNetworkReply::OperationCanceledError) {
        result.error = QStringLiteral("The update server %1 did not answer within %2 seconds.")
                           .arg(host)
                           .arg(transferTimeoutMs_ / 1000.0);
    } else if (status >= 400) {
        result.error = QStringLiteral("The update server %1 answered HTTP %2 %3.")
                           .arg(host)
                           .arg(status)
                           .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                           .trimmed();
    } else if (reply->error() != QNetworkReply::NoError) {
        result.error = QStringLiteral("Cannot reach the update server %1: %2").arg(host, reply->errorString());
    } else {
        const ParsedAppcast feed = parseAppcast(reply->readAll());
        if (!feed.ok()) {
            result.error = feed.error;
        } else {
            store_->set(kLastCheckDateKey, PropertyList(Date{QDateTime::currentSecsSinceEpoch()}));
            result.item = newestItem(feed.items);
            const bool newer = compareVersions(result.item->version, QString::fromStdString(delegate_->info().version)) > 0;
            result.kind = newer ? UpdateCheckResult::Kind::updateAvailable : UpdateCheckResult::Kind::upToDate;
            log().info("Update check: the feed's newest version is %s, this is %s", qPrintable(result.item->version),
                       delegate_->info().version.c_str());
        }
    }
    if (result.kind == UpdateCheckResult::Kind::failed)
        log().error("Update check: %s", qPrintable(result.error));
    reschedule();
    Q_EMIT checkFinished(result);
    announce(result);
}

// ---- telling the user ---------------------------------------------------------------------

void Updater::skipVersion(const QString& version) {
    if (version.isEmpty())
        store_->removeObject(kSkippedVersionKey);
    else
        store_->set(kSkippedVersionKey, PropertyList(version.toStdString()));
}

QString Updater::skippedVersion() const {
    const auto stored = store_->stringForKey(kSkippedVersionKey);
    return stored ? QString::fromStdString(*stored) : QString();
}

void Updater::announce(const UpdateCheckResult& result) {
    if (result.kind != UpdateCheckResult::Kind::updateAvailable)
        return;
    const AppcastItem& item = *result.item;
    // The user who asked sees the answer in the check's window; a skipped version
    // is only ever shown when asked for.
    if (!result.userInitiated && !skippedVersion().isEmpty() && compareVersions(item.version, skippedVersion()) == 0) {
        log().info("Update check: version %s is skipped", qPrintable(item.version));
        return;
    }
    if (automaticallyDownloadsUpdates()) {
        if (const QString done = verifiedDownloadOf(item); !done.isEmpty()) {
            DownloadResult again;
            again.item = item;
            again.path = done;
            pending_ = result;
            announceDownload(again);
            return;
        }
        if (downloader_->isDownloading())
            return;
        pending_ = result;
        downloader_->start(item);
        return;
    }
    if (result.userInitiated)
        return;
    notifyAbout(result, QStringLiteral("Overlook %1 is available").arg(item.displayVersion),
                QStringLiteral("You have version %1.").arg(QString::fromStdString(delegate_->info().version)), {}, false);
}

QString Updater::verifiedDownloadOf(const AppcastItem& item) const {
    // Remembered across restarts; the file is checked again, as anyone may have
    // replaced it since.
    const auto version = store_->stringForKey(kDownloadedVersionKey);
    const auto path = store_->stringForKey(kDownloadedPathKey);
    if (!version || !path || QString::fromStdString(*version) != item.version)
        return {};
    const QString file = QString::fromStdString(*path);
    if (!QFileInfo(file).isFile() || refusedSignature(file, item, downloader_->publicKey()))
        return {};
    return file;
}

void Updater::openPackage(const AppcastItem& item, const QString& path) {
    // Checked again: anyone may have replaced the file since it was verified.
    if (verifiedDownloadOf(item) != path) {
        log().error("Update: %s is no longer the verified package of version %s; not opened", qPrintable(path),
                    qPrintable(item.version));
        UpdateCheckResult result;
        result.kind = UpdateCheckResult::Kind::updateAvailable;
        result.item = item;
        notifyAbout(result, QStringLiteral("Overlook %1 was not opened").arg(item.displayVersion),
                    QStringLiteral("%1 changed since it was verified, or is gone.").arg(path), {}, true);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        log().error("Update: no application opens %s (xdg-open)", qPrintable(path));
}

void Updater::announceDownload(const DownloadResult& download) {
    UpdateCheckResult result = pending_.value_or(UpdateCheckResult{});
    pending_.reset();
    result.kind = UpdateCheckResult::Kind::updateAvailable;
    result.item = download.item;
    Q_EMIT downloadFinished(download);
    if (download.ok()) {
        store_->set(kDownloadedVersionKey, PropertyList(download.item.version.toStdString()));
        store_->set(kDownloadedPathKey, PropertyList(download.path.toStdString()));
        notifyAbout(result, QStringLiteral("Overlook %1 is ready to install").arg(download.item.displayVersion),
                    QStringLiteral("The signed package is in %1.").arg(download.path), download.path, false);
    } else {
        // The user still learns of the version, and why it was not fetched.
        notifyAbout(result, QStringLiteral("Overlook %1 is available").arg(download.item.displayVersion),
                    download.error, {}, true);
    }
}

void Updater::notifyAbout(const UpdateCheckResult& result, const QString& summary, const QString& body,
                          const QString& packagePath, bool failure) {
    if (!notifier_)
        return;
    UpdateNotice notice;
    notice.summary = summary;
    notice.body = body;
    notice.packagePath = packagePath;
    notice.failure = failure;
    // A click on the notice opens the package when there is one, else shows the update.
    if (!packagePath.isEmpty())
        notice.actions = {{QStringLiteral("default"), QStringLiteral("Open")}, {QStringLiteral("show"), QStringLiteral("Show")}};
    else
        notice.actions = {{QStringLiteral("default"), QStringLiteral("Show")}};
    if (result.item)
        notice.actions.emplace_back(QStringLiteral("skip"), QStringLiteral("Skip This Version"));
    QPointer<Updater> self = this;
    notice.onAction = [self, result, packagePath](const QString& key) {
        if (!self || !result.item)
            return;
        if (key == QLatin1String("skip"))
            self->skipVersion(result.item->version);
        else if (key == QLatin1String("default") && !packagePath.isEmpty())
            self->openPackage(*result.item, packagePath);
        else if (key == QLatin1String("show") || key == QLatin1String("default"))
            Q_EMIT self->showUpdateRequested(result);
    };
    notifier_->notify(notice);
}

} // namespace overlook::updates
