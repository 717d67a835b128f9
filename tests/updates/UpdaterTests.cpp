#include "Foundation/MainQueue.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"
#include "tests/updates/FeedServer.h"
#include "tests/updates/Signing.h"
#include "updates/Updater.h"
#include "updates/UpdatesPane.h"

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace overlook;
using namespace overlook::updates;
using overlook::test::appcast;
using overlook::test::FeedServer;

namespace {

// The application comes first: a server made before it would get no events.
struct WithApplication {
    WithApplication() {
        ensureOffscreenApplication();
        allowPlainHttpToLoopbackForTests(true);
    }
};

class UpdaterTest : public ::testing::Test, WithApplication {
protected:
    void TearDown() override { manualMainQueue().drain(); }

    std::shared_ptr<UpdaterDelegate> delegate(std::optional<std::string> feed,
                                              std::optional<std::string> channel = std::nullopt) {
        return std::make_shared<UpdaterDelegate>(
            ApplicationInfo{"io.overlook.Overlook", "1.4.2", std::move(feed), std::move(channel)}, store_);
    }
    std::shared_ptr<UpdaterDelegate> served(const char* path) { return delegate(server_.url(path).toStdString()); }
    template <class Result, class Start>
    static Result await(Updater& updater, void (Updater::*signal)(const Result&), Start start) {
        std::optional<Result> result;
        const auto connection = QObject::connect(&updater, signal, [&](const Result& r) { result = r; });
        start();
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        QObject::disconnect(connection);
        return result.value_or(Result{});
    }
    static UpdateCheckResult check(Updater& u) {
        return await(u, &Updater::checkFinished, [&] { u.checkForUpdates(); });
    }
    static UpdateCheckResult checkInBackground(Updater& u) {
        return await(u, &Updater::checkFinished, [&] { u.checkInBackground(); });
    }

    test::TempSettings folder_;
    std::shared_ptr<UserDefaults> store_ = UserDefaults::open(folder_.dir(), "updates");
    FeedServer server_;
};

constexpr const char* kLinkSchemes[] = {"https", "http", "file", "javascript"};

class OpenedLinks final : public QObject {
    Q_OBJECT
public:
    OpenedLinks() { for (const char* scheme : kLinkSchemes) QDesktopServices::setUrlHandler(scheme, this, "open"); }
    ~OpenedLinks() override { for (const char* scheme : kLinkSchemes) QDesktopServices::unsetUrlHandler(scheme); }
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

struct RecordingNotifier final : UpdateNotifier {
    void notify(const UpdateNotice& notice) override { notices.push_back(notice); }
    std::vector<UpdateNotice> notices;
};

} // namespace

TEST(Versions, CompareNumericallyPartByPart) {
    for (const auto& [newer, older] : std::vector<std::pair<const char*, const char*>>{
             {"1.10", "1.9"}, {"1.0", "0.9.9"}, {"1.2", "1.2b1"}, {"1.2b2", "1.2b1"}, {"1.2.1", "1.2b9"}, {"10", "9.99"}}) {
        EXPECT_GT(compareVersions(newer, older), 0) << newer << " after " << older;
        EXPECT_LT(compareVersions(older, newer), 0) << older << " before " << newer;
    }
    EXPECT_EQ(compareVersions("2", "2.0.0"), 0);
}

TEST(Appcast, ReadsItemsAndRefusesWhatIsNoFeed) {
    const ParsedAppcast parsed = parseAppcast(
        "<rss xmlns:s='urn:x'><channel><item><title>Seven</title><link>https://example.org/page</link>"
        "<enclosure url='https://example.org/o-7.tgz' s:version='7.0.1' s:shortVersionString='7'/>"
        "<s:releaseNotesLink>https://example.org/7.html</s:releaseNotesLink></item>"
        "<item><title>no version</title></item></channel></rss>");
    ASSERT_TRUE(parsed.ok()) << parsed.error.toStdString();
    ASSERT_EQ(parsed.items.size(), 1u); // an item without a version is no release
    EXPECT_EQ(parsed.items[0].displayVersion, "7");
    EXPECT_EQ(parsed.items[0].downloadLink, QUrl("https://example.org/o-7.tgz")); // the enclosure wins
    EXPECT_EQ(parsed.items[0].releaseNotesLink, QUrl("https://example.org/7.html"));

    EXPECT_TRUE(parseAppcast("<html><body>Sign in</body></html>").error.contains("not an RSS document"));
    EXPECT_TRUE(parseAppcast("").error.contains("empty"));
    EXPECT_TRUE(parseAppcast("<rss><channel/></rss>").error.contains("no release"));
}

TEST_F(UpdaterTest, NewerSameAndOlderVersionsAndTheSystemProfileWhenOn) {
    server_.serve("/newer.xml", {200, appcast({"1.4.2", "1.10", "1.5"})});
    server_.serve("/same.xml", {200, appcast({"1.4.2", "1.3"})});
    server_.serve("/older.xml", {200, appcast({"1.4.1"})});
    Updater newer(served("/newer.xml?channel=main"));
    const auto found = check(newer);
    ASSERT_EQ(found.kind, UpdateCheckResult::Kind::updateAvailable) << found.error.toStdString();
    EXPECT_EQ(found.item->version, "1.10");
    for (const char* path : {"/same.xml", "/older.xml"}) {
        Updater updater(served(path));
        EXPECT_EQ(check(updater).kind, UpdateCheckResult::Kind::upToDate) << path;
    }

    EXPECT_EQ(server_.requests().front().query(), "channel=main"); // nothing about the system unless asked
    newer.setSendsSystemProfile(true);
    check(newer);
    const QUrlQuery sent(server_.requests().back());
    QStringList names;
    for (const auto& item : sent.queryItems())
        names << item.first;
    EXPECT_EQ(names.join(','), "channel,osName,osVersion,cpuArchitecture,lang,appVersion");

    SCOPED_TRACE("a beta channel reads the beta feed until the user turns betas off");
    server_.serve("/io.overlook.Overlook/releases/appcast.xml", {200, appcast({"1.4.2"})});
    server_.serve("/io.overlook.Overlook/betas/appcast.xml", {200, appcast({"1.5b1"})});
    Updater beta(delegate(server_.url("/io.overlook.Overlook/releases/appcast.xml").toStdString(), "betas"));
    const auto offered = check(beta);
    ASSERT_TRUE(offered.item) << offered.error.toStdString();
    EXPECT_EQ(offered.item->version, "1.5b1");
    EXPECT_EQ(server_.requests().back().path(), "/io.overlook.Overlook/betas/appcast.xml");
    beta.delegate()->setIncludeBetaReleases(false);
    EXPECT_TRUE(store_->persistentDomain().contains(kIncludeBetasKey)); // kept over the channel's default
    EXPECT_EQ(check(beta).kind, UpdateCheckResult::Kind::upToDate);
    EXPECT_EQ(server_.requests().back().path(), "/io.overlook.Overlook/releases/appcast.xml");
}

TEST_F(UpdaterTest, FailedAndRefusedChecksSayWhyAndLoseNothing) {
    server_.serve("/broken.xml", {200, "<rss><channel><item>"});
    server_.serve("/gone.xml", {404, "missing"});
    server_.serve("/slow.xml", {200, {}, FeedServer::hang});
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{1000}));
    for (auto [feed, error] : std::vector<std::pair<std::optional<std::string>, const char*>>{
             {"/broken.xml", "not valid XML"}, {"/gone.xml", "HTTP 404"},
             {"/slow.xml", "did not answer within 0.3 seconds"}, {std::nullopt, "No update feed"},
             {"http://10.0.0.1/f", "only fetched over HTTPS"}, {"ftp://example.org/f", "not an HTTPS address"},
             {"file:///etc/passwd", "not a web address"}}) {
        SCOPED_TRACE(feed.value_or("no feed"));
        Updater updater(feed && feed->starts_with('/') ? served(feed->c_str()) : delegate(feed));
        updater.setTransferTimeout(300);
        const auto started = std::chrono::steady_clock::now();
        const auto r = check(updater);
        EXPECT_EQ(r.kind, UpdateCheckResult::Kind::failed);
        EXPECT_TRUE(r.error.contains(error)) << r.error.toStdString();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(updater.lastUpdateCheckDate(), QDateTime::fromSecsSinceEpoch(1000, Qt::UTC));
    }
    EXPECT_EQ(refusedFeedURL(QUrl("https://updates.example/f.xml")), std::nullopt);
    allowPlainHttpToLoopbackForTests(false);
    server_.serve("/feed.xml", {200, appcast({"2.0"})});
    const std::size_t asked = server_.requests().size();
    Updater loopback(served("/feed.xml"));
    EXPECT_TRUE(check(loopback).error.contains("only fetched over HTTPS"));
    EXPECT_EQ(server_.requests().size(), asked);
    allowPlainHttpToLoopbackForTests(true);
}

TEST_F(UpdaterTest, ScheduledCheckNotifiesUntilTheVersionIsSkipped) {
    server_.serve("/feed.xml", {200, appcast({"1.4.2", "2.0"})});
    RecordingNotifier notifier;
    Updater updater(served("/feed.xml"));
    updater.setNotifier(&notifier);
    std::vector<UpdateCheckResult> shown;
    QObject::connect(&updater, &Updater::showUpdateRequested, [&](const UpdateCheckResult& r) { shown.push_back(r); });

    EXPECT_FALSE(updater.nextScheduledCheck()); // automatic checks are off
    store_->set(Updater::kCheckIntervalKey, PropertyList(std::string("soon")));
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{1000}));
    updater.setAutomaticallyChecksForUpdates(true);
    manualMainQueue().drain();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifier.notices.empty(); }, 10000));
    // The next check waits a day while the stored interval is unusable, and that entry is left alone.
    const auto secondsToNext = [&] { return QDateTime::currentDateTimeUtc().secsTo(updater.nextScheduledCheck().value()); };
    EXPECT_GE(secondsToNext(), 86400 - 60);
    EXPECT_TRUE(store_->stringForKey(Updater::kCheckIntervalKey));
    ASSERT_EQ(notifier.notices.size(), 1u);
    const UpdateNotice notice = notifier.notices[0];
    EXPECT_EQ(notice.summary, "Overlook 2.0 is available");
    notice.onAction("default");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].item->version, "2.0");

    check(updater); // one the user starts answers in its own window, not as a notification
    EXPECT_EQ(notifier.notices.size(), 1u);

    notice.onAction("skip");
    EXPECT_EQ(updater.skippedVersion(), "2.0");
    checkInBackground(updater);
    EXPECT_EQ(notifier.notices.size(), 1u); // skipped: quiet
    server_.serve("/feed.xml", {200, appcast({"2.0", "2.1"})});
    checkInBackground(updater);
    ASSERT_EQ(notifier.notices.size(), 2u);
    EXPECT_EQ(notifier.notices[1].summary, "Overlook 2.1 is available");
    EXPECT_EQ(store_->stringForKey(Updater::kSkippedVersionKey), "2.0");
    server_.serve("/feed.xml", {200, appcast({"1.4.2"})});
    checkInBackground(updater);
    EXPECT_EQ(notifier.notices.size(), 2u);
}

TEST_F(UpdaterTest, AutomaticDownloadKeepsOnlySignedPackagesAndOffersToOpenThem) {
    const test::SigningKey key;
    const QByteArray package = QByteArray("package bytes ").repeated(100);
    QByteArray tampered = package;
    tampered[3] = '!';
    server_.serve("/overlook-2.0.deb", {200, package});
    server_.serve("/tampered/overlook-2.0.deb", {200, tampered});
    const auto feed = [&](const char* version, const char* path, const QByteArray& signature) {
        server_.serve("/feed.xml", {200, "<rss version='2.0' xmlns:sparkle='urn:test'><channel><item><sparkle:version>" +
                                             QByteArray(version) + "</sparkle:version><enclosure url='" +
                                             server_.url(path).toUtf8() + "' length='" + QByteArray::number(package.size()) +
                                             "' sparkle:edSignature='" + signature + "'/></item></channel></rss>"});
    };
    QTemporaryDir downloads;
    const auto files = [&] { return QDir(downloads.path()).entryList(QDir::Files); };
    const auto prepare = [&](Updater& updater, RecordingNotifier& notifier) {
        updater.setNotifier(&notifier);
        updater.downloader().setFolder(downloads.path());
        updater.downloader().setPublicKey(key.publicKeyBase64());
    };
    const auto download = [](Updater& u) { return await(u, &Updater::downloadFinished, [&] { u.checkInBackground(); }); };
    RecordingNotifier notifier;
    Updater updater(served("/feed.xml"));
    prepare(updater, notifier);
    updater.setAutomaticallyDownloadsUpdates(true);

    feed("2.0", "/overlook-2.0.deb", key.signRelease(package, "2.0", "overlook-2.0.deb"));
    const DownloadResult kept = download(updater);
    ASSERT_TRUE(kept.ok()) << kept.error.toStdString();
    ASSERT_EQ(notifier.notices.size(), 1u);
    EXPECT_EQ(notifier.notices[0].packagePath, kept.path);
    // A click checks the package again before opening it.
    const auto replace = [&](const QByteArray& bytes, QIODevice::OpenMode mode = QIODevice::Truncate) {
        QFile file(kept.path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | mode));
        file.write(bytes);
    };
    {
        OpenedLinks opened;
        notifier.notices[0].onAction("default");
        EXPECT_EQ(opened.opened, QList<QUrl>{QUrl::fromLocalFile(kept.path)});
        replace(tampered);
        notifier.notices[0].onAction("default");
        EXPECT_EQ(opened.opened.size(), 1);
        ASSERT_EQ(notifier.notices.size(), 2u);
        EXPECT_EQ(notifier.notices[1].summary, "Overlook 2.0 was not opened");
        replace(package);
        notifier.notices.pop_back();
    }

    // After a restart the kept package is offered, not fetched, until it changes on disk.
    {
        RecordingNotifier again;
        Updater restarted(served("/feed.xml"));
        prepare(restarted, again);
        EXPECT_EQ(download(restarted).path, kept.path);
        EXPECT_EQ(files().size(), 1);
        replace("x", QIODevice::Append);
        const DownloadResult fresh = download(restarted);
        ASSERT_TRUE(fresh.ok());
        EXPECT_NE(fresh.path, kept.path);
    }

    feed("2.0.1", "/tampered/overlook-2.0.deb", key.signRelease(package, "2.0.1", "overlook-2.0.deb"));
    EXPECT_FALSE(download(updater).ok());
    ASSERT_EQ(notifier.notices.size(), 2u);
    EXPECT_EQ(notifier.notices[1].summary, "Overlook 2.0.1 is available");
    EXPECT_TRUE(notifier.notices[1].failure);
    EXPECT_TRUE(notifier.notices[1].packagePath.isEmpty());
    EXPECT_TRUE(notifier.notices[1].body.contains("signature does not match")) << notifier.notices[1].body.toStdString();
}

TEST_F(UpdaterTest, PaneCheckNowShowsTheResultInItsDialogAndNothingActiveFromAHostileFeed) {
    server_.serve("/feed.xml", {200, appcast({"1.0", "2.1"})});
    OpenedLinks links;
    Updater u(served("/feed.xml"));
    UpdatesPreferencesView pane(u);
    pane.checkNowButton()->click();
    ASSERT_TRUE(pane.checkDialog());
    UpdateCheckDialog& dialog = *pane.checkDialog();
    const auto skipShown = [&] { return dialog.skipButton()->isVisibleTo(&dialog); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !u.isChecking(); }, 10000));
    EXPECT_EQ(dialog.headline()->text(), "Version 2.1 is available");
    EXPECT_TRUE(dialog.message()->text().contains("https://downloads.example/overlook-2.1.tar.gz"));
    EXPECT_TRUE(pane.lastCheck()->text().startsWith("Today at "));
    EXPECT_TRUE(skipShown());

    server_.serve("/feed.xml", {500, "oops"});
    pane.checkNowButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !u.isChecking(); }, 10000));
    EXPECT_EQ(dialog.headline()->text(), "Update check failed");
    EXPECT_TRUE(dialog.message()->text().contains("HTTP 500"));
    EXPECT_FALSE(skipShown());

    QTemporaryDir folder;
    const QString secret = folder.filePath("secret.png");
    QImage secretImage(24, 24, QImage::Format_RGB32);
    secretImage.fill(Qt::magenta);
    secretImage.save(secret);
    const QString notes =
        QStringLiteral("<p>Fixed <a href=\"javascript:alert(1)\">one</a>, <a href=\"http://evil.example/\">two</a>, "
                       "<a href=\"file:///etc/passwd\">three</a> and <a href=\"https://overlook.example/n\">four</a>.</p>"
                       "<script>document.write('pwned')</script>"
                       "<style>p { background-image: url(%1) }</style>"
                       "<img src=\"%1\"><img src=\"%2\"><img src=\"%4\"><img src=\"/dev/zero\">"
                       "<link rel=stylesheet href=\"%3\">"
                       "<iframe src=\"https://evil.example/\">frame text</iframe><p>The end.</p><SCRIPT src=x>alert('again')")
            .arg(server_.url("/track.png"), QUrl::fromLocalFile(secret).toString(), server_.url("/style.css"), secret);
    server_.serve("/feed.xml",
                  {200, "<rss version='2.0' xmlns:s='urn:x'><channel><item><title>t</title><s:version>2.0</s:version>"
                        "<s:shortVersionString>&lt;b&gt;2.0&lt;/b&gt;&lt;img src=x&gt;</s:shortVersionString>"
                        "<description><![CDATA[" + notes.toUtf8() + "]]></description>"
                        "<enclosure url='http://downloads.example/o.tar.gz' length='5'/></item></channel></rss>"});
    const std::size_t asked = server_.requests().size();
    pane.checkNowButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !u.isChecking(); }, 10000));
    QCoreApplication::processEvents();

    EXPECT_EQ(dialog.headline()->text(), "Version <b>2.0</b><img src=x> is available");
    EXPECT_EQ(dialog.headline()->textFormat(), Qt::PlainText);
    EXPECT_TRUE(dialog.message()->text().contains("only downloaded over HTTPS")) << dialog.message()->text().toStdString();
    EXPECT_FALSE(dialog.message()->text().contains("href=\"http://downloads.example"));

    ReleaseNotesBrowser& browser = *dialog.releaseNotes();
    const QString shown = browser.toPlainText();
    EXPECT_TRUE(shown.contains("Fixed one, two, three and four.")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("The end.")) << shown.toStdString();
    for (const char* gone : {"pwned", "alert", "background", "frame text"})
        EXPECT_FALSE(shown.contains(gone)) << gone;
    // Nothing the notes name is fetched, from the network or from disk (nor /dev/zero read); drawing asks for all.
    browser.resize(500, 400);
    browser.viewport()->grab();
    for (const QUrl& local : {QUrl::fromLocalFile(secret), QUrl(secret), QUrl("/dev/zero"), QUrl("file:///dev/zero")}) {
        const QVariant held = browser.document()->resource(QTextDocument::ImageResource, local);
        EXPECT_NE(held.value<QImage>().size(), QSize(24, 24)) << local.toString().toStdString();
        EXPECT_TRUE(held.toByteArray().isEmpty()) << local.toString().toStdString();
    }
    EXPECT_TRUE(browser.loadResource(QTextDocument::StyleSheetResource, QUrl(server_.url("/style.css"))).toString().isEmpty());
    QTest::qWait(200);
    EXPECT_EQ(server_.requests().size(), asked + 1); // the feed only
    QByteArray png; // an inline picture too large to draw
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage(4000, 10, QImage::Format_Mono).save(&buffer, "PNG");
    EXPECT_EQ(browser.loadResource(QTextDocument::ImageResource, QUrl("data:image/png;base64," + png.toBase64())).value<QImage>(),
              ReleaseNotesBrowser::placeholderImage());

    EXPECT_TRUE(links.opened.isEmpty());
    for (const char* clicked : {"javascript:alert(1)", "http://evil.example/", "file:///etc/passwd",
                                "https://overlook.example/n"})
        Q_EMIT browser.anchorClicked(QUrl(clicked));
    Q_EMIT dialog.message()->linkActivated("http://evil.example/");
    Q_EMIT dialog.message()->linkActivated("https://overlook.example/m");
    EXPECT_EQ(links.opened, (QList<QUrl>{QUrl("https://overlook.example/n"), QUrl("https://overlook.example/m")}));

    ASSERT_TRUE(skipShown());
    dialog.skipButton()->click();
    EXPECT_EQ(u.skippedVersion(), "2.0");
    EXPECT_FALSE(dialog.isVisible());

    SCOPED_TRACE("the rows write the settings and follow writes made elsewhere");
    pane.updateFrequency()->activated(2);
    EXPECT_EQ(store_->doubleForKey(Updater::kCheckIntervalKey), 604800);
    pane.checkForUpdates()->click();
    pane.includeBetas()->click();
    EXPECT_TRUE(u.automaticallyChecksForUpdates());
    EXPECT_TRUE(u.delegate()->includeBetaReleases());
    store_->set(Updater::kCheckIntervalKey, PropertyList(86400.0));
    store_->set(kIncludeBetasKey, PropertyList(false));
    manualMainQueue().drain();
    EXPECT_EQ(pane.updateFrequency()->currentText(), "Daily");
    EXPECT_FALSE(pane.includeBetas()->isChecked());
}

#include "UpdaterTests.moc"
