// The update checker against feeds served by the test itself on 127.0.0.1, the
// feed reader, version order, and the beta feed of the delegate.

#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"
#include "tests/updates/FeedServer.h"
#include "tests/updates/Signing.h"
#include "updates/Updater.h"

#include <QDesktopServices>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::updates;
using overlook::test::appcast;
using overlook::test::FeedServer;

namespace {

constexpr const char* kId = "io.overlook.Overlook";

// The application comes first: a server made before it would get no events.
struct WithApplication {
    WithApplication() {
        ensureOffscreenApplication();
        allowPlainHttpToLoopbackForTests(true);
    }
};

class UpdaterTest : public ::testing::Test, WithApplication {
protected:
    void SetUp() override { store_ = UserDefaults::open(folder_.dir(), "updates"); }
    void TearDown() override { manualMainQueue().drain(); }

    std::shared_ptr<UpdaterDelegate> delegate(std::optional<std::string> feed,
                                              std::optional<std::string> channel = std::nullopt,
                                              std::string version = "1.4.2") {
        return std::make_shared<UpdaterDelegate>(ApplicationInfo{kId, version, std::move(feed), std::move(channel)},
                                                 store_);
    }
    // Runs one check and waits for its result.
    UpdateCheckResult check(Updater& updater) {
        std::optional<UpdateCheckResult> result;
        const auto connection =
            QObject::connect(&updater, &Updater::checkFinished, [&](const UpdateCheckResult& r) { result = r; });
        updater.checkForUpdates();
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        QObject::disconnect(connection);
        return result.value_or(UpdateCheckResult{});
    }

    test::TempSettings folder_;
    std::shared_ptr<UserDefaults> store_;
    FeedServer server_;
};

} // namespace

TEST(Versions, CompareNumericallyPartByPart) {
    EXPECT_GT(compareVersions("1.10", "1.9"), 0);
    EXPECT_LT(compareVersions("0.9.9", "1.0"), 0);
    EXPECT_EQ(compareVersions("2", "2.0.0"), 0);
    EXPECT_LT(compareVersions("1.2b1", "1.2"), 0);
    EXPECT_LT(compareVersions("1.2b1", "1.2b2"), 0);
    EXPECT_GT(compareVersions("1.2.1", "1.2b9"), 0);
    EXPECT_GT(compareVersions("10", "9.99"), 0);
    const auto newest = newestItem({{"a", "1.9", "", "", {}, {}, ""}, {"b", "1.10", "", "", {}, {}, ""},
                                    {"c", "1.2", "", "", {}, {}, ""}});
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->title, "b");
}

TEST(Appcast, ReadsItemsAndRefusesWhatIsNoFeed) {
    const QByteArray attributeForm =
        "<rss xmlns:s='urn:x'><channel><item><title>Seven</title><link>https://example.org/page</link>"
        "<enclosure url='https://example.org/o-7.tgz' s:version='7.0.1' s:shortVersionString='7'/>"
        "<s:releaseNotesLink>https://example.org/7.html</s:releaseNotesLink></item>"
        "<item><title>no version</title></item></channel></rss>";
    const ParsedAppcast parsed = parseAppcast(attributeForm);
    ASSERT_TRUE(parsed.ok()) << parsed.error.toStdString();
    ASSERT_EQ(parsed.items.size(), 1u); // an item without a version is no release
    EXPECT_EQ(parsed.items[0].version, "7.0.1");
    EXPECT_EQ(parsed.items[0].displayVersion, "7");
    EXPECT_EQ(parsed.items[0].downloadLink, QUrl("https://example.org/o-7.tgz")); // the enclosure wins
    EXPECT_EQ(parsed.items[0].releaseNotesLink, QUrl("https://example.org/7.html"));

    const ParsedAppcast broken = parseAppcast("<rss><channel><item><title>1.0</item></channel></rss>");
    EXPECT_FALSE(broken.ok());
    EXPECT_TRUE(broken.items.empty());
    EXPECT_TRUE(broken.error.contains("not valid XML (line 1")) << broken.error.toStdString();
    EXPECT_TRUE(parseAppcast("<html><body>Sign in</body></html>").error.contains("not an RSS document"));
    EXPECT_TRUE(parseAppcast("").error.contains("empty"));
    EXPECT_TRUE(parseAppcast("<rss><channel/></rss>").error.contains("no release"));
}

TEST_F(UpdaterTest, BetaChannelRegistersTheDefaultAndRewritesTheFeed) {
    const std::string feed = "https://updates.example/io.overlook.Overlook/releases/appcast.xml";
    {
        LogCapture log;
        auto d = delegate(feed, "betas");
        EXPECT_TRUE(log.contains("Registering KtIncludeBetas as true"));
        EXPECT_TRUE(d->includeBetaReleases());
        EXPECT_EQ(d->feedURLString(), "https://updates.example/io.overlook.Overlook/betas/appcast.xml");
        // The user's choice wins over the registered default, and is kept.
        d->setIncludeBetaReleases(false);
        EXPECT_EQ(d->feedURLString(), std::nullopt);
        EXPECT_FALSE(store_->persistentDomain().at(kIncludeBetasKey).get<bool>() == nullptr);
        store_->removeObject(kIncludeBetasKey);
    }
    {
        LogCapture log;
        auto d = delegate(feed, "stable");
        EXPECT_TRUE(log.contains("Registering KtIncludeBetas as false"));
        EXPECT_FALSE(d->includeBetaReleases());
        EXPECT_EQ(d->feedURLString(), std::nullopt); // the application's feed stays
    }
    {
        LogCapture log;
        auto d = delegate("https://updates.example/other/releases/x.xml"); // no channel
        EXPECT_TRUE(log.messages().empty());
        d->setIncludeBetaReleases(true);
        // Nothing to rewrite: the feed is answered unchanged.
        EXPECT_EQ(d->feedURLString(), "https://updates.example/other/releases/x.xml");
        EXPECT_EQ(delegate(std::nullopt)->feedURLString(), std::nullopt);
    }
}

TEST_F(UpdaterTest, NewerSameAndOlderVersions) {
    server_.serve("/newer.xml", {200, appcast({"1.4.2", "1.10", "1.5"})});
    server_.serve("/same.xml", {200, appcast({"1.4.2", "1.3"})});
    server_.serve("/older.xml", {200, appcast({"1.4.1"})});

    Updater newer(delegate(server_.url("/newer.xml").toStdString()));
    EXPECT_FALSE(newer.lastUpdateCheckDate());
    const auto found = check(newer);
    ASSERT_EQ(found.kind, UpdateCheckResult::Kind::updateAvailable) << found.error.toStdString();
    EXPECT_TRUE(found.userInitiated);
    EXPECT_EQ(found.item->version, "1.10");
    EXPECT_EQ(found.item->downloadLink, QUrl("https://downloads.example/overlook-1.10.tar.gz"));
    EXPECT_TRUE(found.item->releaseNotes.contains("Notes for 1.10"));
    ASSERT_TRUE(newer.lastUpdateCheckDate());
    EXPECT_LE(std::abs(newer.lastUpdateCheckDate()->secsTo(QDateTime::currentDateTimeUtc())), 5);

    Updater same(delegate(server_.url("/same.xml").toStdString()));
    EXPECT_EQ(check(same).kind, UpdateCheckResult::Kind::upToDate);
    Updater older(delegate(server_.url("/older.xml").toStdString()));
    EXPECT_EQ(check(older).kind, UpdateCheckResult::Kind::upToDate);
}

TEST_F(UpdaterTest, BetaFeedIsFetchedWhenBetasAreOn) {
    server_.serve("/io.overlook.Overlook/releases/appcast.xml", {200, appcast({"1.4.2"})});
    server_.serve("/io.overlook.Overlook/betas/appcast.xml", {200, appcast({"1.5b1"})});
    Updater updater(delegate(server_.url("/io.overlook.Overlook/releases/appcast.xml").toStdString(), "betas"));
    const auto beta = check(updater);
    EXPECT_EQ(beta.kind, UpdateCheckResult::Kind::updateAvailable);
    EXPECT_EQ(server_.requests().back().path(), "/io.overlook.Overlook/betas/appcast.xml");

    updater.delegate()->setIncludeBetaReleases(false);
    EXPECT_EQ(check(updater).kind, UpdateCheckResult::Kind::upToDate);
    EXPECT_EQ(server_.requests().back().path(), "/io.overlook.Overlook/releases/appcast.xml");
}

TEST_F(UpdaterTest, SystemProfileAddsOnlyItsQueryItemsWhenOn) {
    server_.serve("/feed.xml", {200, appcast({"1.0"})});
    Updater updater(delegate(server_.url("/feed.xml?channel=main").toStdString()));
    check(updater);
    EXPECT_EQ(server_.requests().back().query(), "channel=main");

    updater.setSendsSystemProfile(true);
    check(updater);
    const QUrlQuery sent(server_.requests().back());
    QStringList names;
    for (const auto& item : sent.queryItems())
        names << item.first;
    EXPECT_EQ(names.join(','), "channel,osName,osVersion,cpuArchitecture,lang,appVersion");
    EXPECT_EQ(sent.queryItemValue("appVersion"), "1.4.2");
}

TEST_F(UpdaterTest, FailuresAreReportedAndLoseNothing) {
    server_.serve("/broken.xml", {200, "<rss><channel><item>"});
    server_.serve("/gone.xml", {404, "missing"});
    server_.serve("/slow.xml", {200, {}, true});
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{1000}));

    Updater broken(delegate(server_.url("/broken.xml").toStdString()));
    auto r = check(broken);
    EXPECT_EQ(r.kind, UpdateCheckResult::Kind::failed);
    EXPECT_TRUE(r.error.contains("not valid XML")) << r.error.toStdString();

    Updater gone(delegate(server_.url("/gone.xml").toStdString()));
    r = check(gone);
    EXPECT_EQ(r.kind, UpdateCheckResult::Kind::failed);
    EXPECT_TRUE(r.error.contains("HTTP 404")) << r.error.toStdString();

    Updater slow(delegate(server_.url("/slow.xml").toStdString()));
    slow.setTransferTimeout(300);
    QElapsedTimer clock;
    clock.start();
    r = check(slow);
    EXPECT_EQ(r.kind, UpdateCheckResult::Kind::failed);
    EXPECT_TRUE(r.error.contains("did not answer within 0.3 seconds")) << r.error.toStdString();
    EXPECT_LT(clock.elapsed(), 5000);

    // A failed check is not a check: the date of the last good one stays.
    EXPECT_EQ(broken.lastUpdateCheckDate(), QDateTime::fromSecsSinceEpoch(1000, Qt::UTC));
}

TEST_F(UpdaterTest, PlainHttpIsRefusedExceptOnLoopback) {
    for (const char* refused : {"http://updates.example/feed.xml", "http://10.0.0.1/feed.xml", "ftp://example.org/f",
                                "file:///etc/passwd", "not a url"}) {
        Updater updater(delegate(refused));
        const auto r = check(updater);
        EXPECT_EQ(r.kind, UpdateCheckResult::Kind::failed) << refused;
        EXPECT_FALSE(r.error.isEmpty()) << refused;
    }
    EXPECT_TRUE(server_.requests().empty());
    for (const char* allowed : {"https://updates.example/f.xml", "http://127.0.0.1:8/f", "http://[::1]/f",
                                "http://localhost/f"})
        EXPECT_EQ(refusedFeedURL(QUrl(allowed)), std::nullopt) << allowed;
    // Loopback over plain HTTP is the tests' own allowance, off in the program.
    allowPlainHttpToLoopbackForTests(false);
    server_.serve("/feed.xml", {200, appcast({"2.0"})});
    Updater loopback(delegate(server_.url("/feed.xml").toStdString()));
    EXPECT_TRUE(check(loopback).error.contains("only fetched over HTTPS"));
    EXPECT_TRUE(server_.requests().empty());
    allowPlainHttpToLoopbackForTests(true);
    // HTTPS never redirects down to plain HTTP, not even to this machine.
    EXPECT_TRUE(refusedRedirect(QUrl("https://updates.example/f.xml"), QUrl("http://127.0.0.1:8/f")));
    Updater none(delegate(std::nullopt));
    EXPECT_TRUE(check(none).error.contains("No update feed"));
}

TEST_F(UpdaterTest, SettingsAndSchedule) {
    Updater updater(delegate(std::nullopt));
    EXPECT_FALSE(updater.automaticallyChecksForUpdates());
    EXPECT_FALSE(updater.nextScheduledCheck());
    EXPECT_EQ(updater.updateCheckInterval(), 86400);
    store_->set(Updater::kCheckIntervalKey, PropertyList(std::string("soon")));
    EXPECT_EQ(updater.updateCheckInterval(), 86400); // an unusable entry reads as the default…
    EXPECT_TRUE(store_->stringForKey(Updater::kCheckIntervalKey)); // …and is left alone

    updater.setUpdateCheckInterval(604800);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{now.toSecsSinceEpoch() - 3600}));
    updater.setAutomaticallyChecksForUpdates(true);
    ASSERT_TRUE(updater.nextScheduledCheck());
    EXPECT_NEAR(now.secsTo(*updater.nextScheduledCheck()), 604800 - 3600, 5);
    // A tiny interval never schedules checks closer than an hour apart.
    updater.setUpdateCheckInterval(1);
    EXPECT_NEAR(now.secsTo(*updater.nextScheduledCheck()), 0, 5);

    // A scheduled check that fails is not retried at once.
    std::optional<UpdateCheckResult> result;
    QObject::connect(&updater, &Updater::checkFinished, [&](const UpdateCheckResult& r) { result = r; });
    updater.checkInBackground();
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->userInitiated);
    EXPECT_GE(now.secsTo(*updater.nextScheduledCheck()), 3590);
}

// ---- telling the user of updates found on schedule -------------------------------------

namespace {

// Receives the files the application hands to the desktop to open.
class OpenedFiles final : public QObject {
    Q_OBJECT
public:
    OpenedFiles() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~OpenedFiles() override { QDesktopServices::unsetUrlHandler("file"); }
    QStringList opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened << url.toLocalFile(); }
};

struct RecordingNotifier final : UpdateNotifier {
    void notify(const UpdateNotice& notice) override { notices.push_back(notice); }
    std::vector<UpdateNotice> notices;
};

QStringList actionKeys(const UpdateNotice& notice) {
    QStringList keys;
    for (const auto& [key, label] : notice.actions)
        keys << key + '=' + label;
    return keys;
}

// A feed whose only release is `version`, its package at `package` with `signature`.
QByteArray signedAppcast(const char* version, const QString& package, qint64 length, const QByteArray& signature) {
    return QByteArray("<rss version='2.0' xmlns:sparkle='urn:test'><channel><item><title>Overlook</title>"
                      "<sparkle:version>") +
           version + "</sparkle:version><enclosure url='" + package.toUtf8() + "' length='" +
           QByteArray::number(length) + "' sparkle:edSignature='" + signature + "'/></item></channel></rss>";
}

} // namespace

TEST_F(UpdaterTest, ScheduledCheckNotifiesUntilTheVersionIsSkipped) {
    server_.serve("/feed.xml", {200, appcast({"1.4.2", "2.0"})});
    RecordingNotifier notifier;
    Updater updater(delegate(server_.url("/feed.xml").toStdString()));
    updater.setNotifier(&notifier);
    std::vector<UpdateCheckResult> shown;
    QObject::connect(&updater, &Updater::showUpdateRequested, [&](const UpdateCheckResult& r) { shown.push_back(r); });

    // Automatic checks on, the last one long ago: the timer checks at once.
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{1000}));
    updater.setAutomaticallyChecksForUpdates(true);
    manualMainQueue().drain();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifier.notices.empty(); }, 10000));
    ASSERT_EQ(notifier.notices.size(), 1u);
    const UpdateNotice notice = notifier.notices[0];
    EXPECT_EQ(notice.summary, "Overlook 2.0 is available");
    EXPECT_EQ(actionKeys(notice), (QStringList{"default=Show", "skip=Skip This Version"}));
    EXPECT_TRUE(notice.packagePath.isEmpty());

    notice.onAction("default");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].item->version, "2.0");

    // A check the user starts answers in its own window, not as a notification.
    check(updater);
    EXPECT_EQ(notifier.notices.size(), 1u);

    notice.onAction("skip");
    EXPECT_EQ(updater.skippedVersion(), "2.0");
    const auto background = [&] {
        bool done = false;
        const auto c = QObject::connect(&updater, &Updater::checkFinished, [&] { done = true; });
        updater.checkInBackground();
        EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
        QObject::disconnect(c);
    };
    background();
    EXPECT_EQ(notifier.notices.size(), 1u); // skipped: quiet

    // A later release is news again, and a skip is kept in the store.
    server_.serve("/feed.xml", {200, appcast({"2.0", "2.1"})});
    background();
    ASSERT_EQ(notifier.notices.size(), 2u);
    EXPECT_EQ(notifier.notices[1].summary, "Overlook 2.1 is available");
    EXPECT_EQ(store_->stringForKey(Updater::kSkippedVersionKey), "2.0");

    // Nothing newer, nothing said.
    server_.serve("/feed.xml", {200, appcast({"1.4.2"})});
    background();
    EXPECT_EQ(notifier.notices.size(), 2u);
}

TEST_F(UpdaterTest, AutomaticDownloadKeepsOnlySignedPackagesAndOffersToOpenThem) {
    const test::SigningKey key;
    const QByteArray package = QByteArray("package bytes ").repeated(100);
    server_.serve("/overlook-2.0.deb", {200, package});
    QByteArray tampered = package;
    tampered[3] = '!';
    server_.serve("/tampered/overlook-2.0.deb", {200, tampered});
    QTemporaryDir downloads;

    RecordingNotifier notifier;
    Updater updater(delegate(server_.url("/feed.xml").toStdString()));
    updater.setNotifier(&notifier);
    updater.setAutomaticallyDownloadsUpdates(true);
    updater.downloader().setFolder(downloads.path());
    updater.downloader().setPublicKey(key.publicKeyBase64());
    const auto backgroundDownload = [&] {
        std::optional<DownloadResult> result;
        const auto c =
            QObject::connect(&updater, &Updater::downloadFinished, [&](const DownloadResult& r) { result = r; });
        updater.checkInBackground();
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        QObject::disconnect(c);
        return result.value_or(DownloadResult{});
    };

    // An old package, correctly signed as 1.0, offered as 2.0: refused, not announced as 2.0.
    const QByteArray old = QByteArray("old package ").repeated(100);
    server_.serve("/old/overlook-2.0.deb", {200, old});
    server_.serve("/feed.xml", {200, signedAppcast("2.0", server_.url("/old/overlook-2.0.deb"), old.size(),
                                                   key.signRelease(old, "1.0", "overlook-1.0.deb"))});
    EXPECT_TRUE(backgroundDownload().error.contains("signature does not match"));
    ASSERT_EQ(notifier.notices.size(), 1u);
    EXPECT_EQ(notifier.notices[0].summary, "Overlook 2.0 is available");
    EXPECT_TRUE(notifier.notices[0].failure);
    notifier.notices.clear();

    // The feed's signature is read from its enclosure; a good package is offered.
    server_.serve("/feed.xml", {200, signedAppcast("2.0", server_.url("/overlook-2.0.deb"), package.size(),
                                                   key.signRelease(package, "2.0", "overlook-2.0.deb"))});
    const DownloadResult kept = backgroundDownload();
    ASSERT_TRUE(kept.ok()) << kept.error.toStdString();
    ASSERT_EQ(notifier.notices.size(), 1u);
    EXPECT_EQ(notifier.notices[0].summary, "Overlook 2.0 is ready to install");
    EXPECT_EQ(notifier.notices[0].packagePath, kept.path);
    EXPECT_FALSE(notifier.notices[0].failure);
    EXPECT_EQ(actionKeys(notifier.notices[0]), (QStringList{"default=Open", "show=Show", "skip=Skip This Version"}));
    // A click opens the package, checked again first: a changed one is not opened.
    {
        OpenedFiles opened;
        notifier.notices[0].onAction("default");
        EXPECT_EQ(opened.opened, QStringList{kept.path});
        const QByteArray good = package;
        QFile replaced(kept.path);
        ASSERT_TRUE(replaced.open(QIODevice::WriteOnly | QIODevice::Truncate));
        replaced.write(tampered);
        replaced.close();
        notifier.notices[0].onAction("default");
        EXPECT_EQ(opened.opened, QStringList{kept.path});
        ASSERT_EQ(notifier.notices.size(), 2u);
        EXPECT_EQ(notifier.notices[1].summary, "Overlook 2.0 was not opened");
        ASSERT_TRUE(replaced.open(QIODevice::WriteOnly | QIODevice::Truncate));
        replaced.write(good);
        replaced.close();
        notifier.notices.pop_back();
    }

    // After a restart the verified package is offered again, not fetched again; once
    // changed on disk it no longer counts and a fresh copy is fetched beside it.
    {
        RecordingNotifier again;
        Updater restarted(delegate(server_.url("/feed.xml").toStdString()));
        restarted.setNotifier(&again);
        restarted.downloader().setFolder(downloads.path());
        restarted.downloader().setPublicKey(key.publicKeyBase64());
        std::optional<DownloadResult> result;
        QObject::connect(&restarted, &Updater::downloadFinished, [&](const DownloadResult& r) { result = r; });
        restarted.checkInBackground();
        ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        EXPECT_EQ(result->path, kept.path);
        EXPECT_EQ(QDir(downloads.path()).entryList(QDir::Files).size(), 1);
        ASSERT_EQ(again.notices.size(), 1u);
        EXPECT_EQ(again.notices[0].packagePath, kept.path);

        QFile changed(kept.path);
        ASSERT_TRUE(changed.open(QIODevice::Append));
        changed.write("x");
        changed.close();
        result.reset();
        restarted.checkInBackground();
        ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        ASSERT_TRUE(result->ok());
        EXPECT_NE(result->path, kept.path);
        EXPECT_EQ(QDir(downloads.path()).entryList(QDir::Files).size(), 2);
        QFile::remove(result->path);
        QFile::remove(kept.path);
    }

    // A tampered package is deleted, and the user told why.
    server_.serve("/feed.xml", {200, signedAppcast("2.0.1", server_.url("/tampered/overlook-2.0.deb"), package.size(),
                                                   key.signRelease(package, "2.0.1", "overlook-2.0.deb"))});
    EXPECT_FALSE(backgroundDownload().ok());
    ASSERT_EQ(notifier.notices.size(), 2u);
    EXPECT_TRUE(notifier.notices[1].failure);
    EXPECT_TRUE(notifier.notices[1].packagePath.isEmpty());
    EXPECT_TRUE(notifier.notices[1].body.contains("signature does not match")) << notifier.notices[1].body.toStdString();
    EXPECT_TRUE(QDir(downloads.path()).entryList(QDir::Files).isEmpty());

    // Without a key nothing is downloaded, and the notice says so.
    updater.downloader().setPublicKey({});
    EXPECT_TRUE(backgroundDownload().error.contains("built without a key"));
    EXPECT_TRUE(notifier.notices.back().body.contains("built without a key"));
    EXPECT_TRUE(QDir(downloads.path()).entryList(QDir::Files).isEmpty());
}

#include "UpdaterTests.moc"
