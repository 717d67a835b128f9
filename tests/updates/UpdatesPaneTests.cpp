// The Updates pane's rows over a real store, and "Check Now…" against a feed
// served on 127.0.0.1.

#include "Foundation/MainQueue.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "settings_store/UserDefaults.h"
#include "tests/settings_store/TempSettings.h"
#include "tests/updates/FeedServer.h"
#include "updates/UpdatesPane.h"

#include <QBuffer>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QDesktopServices>
#include <QImage>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::updates;

namespace {

class UpdatesPane : public ::testing::Test {
protected:
    void SetUp() override {
        ensureOffscreenApplication();
        allowPlainHttpToLoopbackForTests(true);
        store_ = UserDefaults::open(folder_.dir(), "pane");
    }
    void TearDown() override { manualMainQueue().drain(); }
    std::unique_ptr<Updater> updater(std::optional<std::string> feed = std::nullopt,
                                     std::optional<std::string> channel = std::nullopt) {
        return std::make_unique<Updater>(std::make_shared<UpdaterDelegate>(
            ApplicationInfo{"io.overlook.Overlook", "1.0", std::move(feed), std::move(channel)}, store_));
    }
    test::TempSettings folder_;
    std::shared_ptr<UserDefaults> store_;
};

} // namespace

TEST_F(UpdatesPane, RowsFollowAndWriteTheSettings) {
    auto u = updater(std::nullopt, "betas");
    UpdatesPreferencesView pane(*u);
    EXPECT_EQ(pane.lastCheck()->text(), "Never");
    EXPECT_EQ(pane.updateFrequency()->currentText(), "Daily");
    EXPECT_EQ(pane.updateFrequency()->itemText(0), "Hourly");
    EXPECT_EQ(pane.updateFrequency()->itemText(2), "Weekly");
    EXPECT_EQ(pane.updateFrequency()->width(), 100);
    EXPECT_TRUE(pane.includeBetas()->isChecked()); // the channel's default
    EXPECT_FALSE(pane.checkForUpdates()->isChecked());
    EXPECT_EQ(pane.width(), 600);

    // Writes.
    pane.updateFrequency()->activated(2);
    EXPECT_EQ(store_->doubleForKey(Updater::kCheckIntervalKey), 604800);
    pane.checkForUpdates()->click();
    pane.automaticallyDownloadsUpdates()->click();
    pane.sendsSystemProfile()->click();
    pane.includeBetas()->click();
    EXPECT_TRUE(u->automaticallyChecksForUpdates());
    EXPECT_TRUE(u->automaticallyDownloadsUpdates());
    EXPECT_TRUE(u->sendsSystemProfile());
    EXPECT_FALSE(u->delegate()->includeBetaReleases());
    EXPECT_TRUE(store_->persistentDomain().contains(kIncludeBetasKey)); // the user's choice is stored

    // Follows changes made elsewhere.
    store_->set(Updater::kCheckIntervalKey, PropertyList(86400.0));
    store_->set(kIncludeBetasKey, PropertyList(true));
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{QDateTime::currentSecsSinceEpoch()}));
    manualMainQueue().drain();
    EXPECT_EQ(pane.updateFrequency()->currentText(), "Daily");
    EXPECT_TRUE(pane.includeBetas()->isChecked());
    EXPECT_TRUE(pane.lastCheck()->text().startsWith("Today at ")) << pane.lastCheck()->text().toStdString();
    store_->set(Updater::kCheckIntervalKey, PropertyList(1234.0));
    manualMainQueue().drain();
    EXPECT_EQ(pane.updateFrequency()->currentIndex(), -1); // none of the three
}

TEST(LastCheckText, RelativeWording) {
    const QDateTime now(QDate(2024, 5, 1), QTime(14, 3));
    EXPECT_EQ(lastCheckText(std::nullopt, now), "Never");
    EXPECT_TRUE(lastCheckText(QDateTime(QDate(2024, 5, 1), QTime(9, 0)), now).startsWith("Today at "));
    EXPECT_TRUE(lastCheckText(QDateTime(QDate(2024, 4, 30), QTime(23, 59)), now).startsWith("Yesterday at "));
    const QString older = lastCheckText(QDateTime(QDate(2024, 3, 2), QTime(8, 5)), now);
    EXPECT_TRUE(older.contains("2024") && older.contains(" at ")) << older.toStdString();
}

TEST_F(UpdatesPane, CheckNowShowsTheResultInItsDialog) {
    test::FeedServer server;
    server.serve("/feed.xml", {200, test::appcast({"1.0", "2.1"})});
    auto u = updater(server.url("/feed.xml").toStdString());
    UpdatesPreferencesView pane(*u);
    pane.checkNowButton()->click();
    ASSERT_TRUE(pane.checkDialog());
    EXPECT_EQ(pane.checkDialog()->headline()->text(), "Checking for updates…");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !u->isChecking(); }, 10000));
    EXPECT_EQ(pane.checkDialog()->headline()->text(), "Version 2.1 is available");
    EXPECT_TRUE(pane.checkDialog()->message()->text().contains("https://downloads.example/overlook-2.1.tar.gz"));
    EXPECT_TRUE(pane.checkDialog()->releaseNotes()->toPlainText().contains("Notes for 2.1"));
    EXPECT_TRUE(pane.lastCheck()->text().startsWith("Today at "));
    const auto skipShown = [&] { return pane.checkDialog()->skipButton()->isVisibleTo(pane.checkDialog()); };
    EXPECT_TRUE(skipShown());

    // Checking again, and failing: nothing to skip while checking or after, and the
    // date of the last good check stays.
    store_->set(Updater::kLastCheckDateKey, PropertyList(Date{1000}));
    server.serve("/feed.xml", {500, "oops"});
    pane.checkNowButton()->click();
    EXPECT_FALSE(skipShown());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !u->isChecking(); }, 10000));
    EXPECT_EQ(pane.checkDialog()->headline()->text(), "Update check failed");
    EXPECT_TRUE(pane.checkDialog()->message()->text().contains("HTTP 500"));
    EXPECT_FALSE(skipShown());
    EXPECT_FALSE(pane.lastCheck()->text().startsWith("Today")) << pane.lastCheck()->text().toStdString();
}

// ---- release notes and versions from a hostile feed -------------------------------------

namespace {

// Receives what the application hands to the desktop to open.
class OpenedLinks final : public QObject {
    Q_OBJECT
public:
    OpenedLinks() {
        for (const char* scheme : {"https", "http", "file", "javascript"})
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~OpenedLinks() override {
        for (const char* scheme : {"https", "http", "file", "javascript"})
            QDesktopServices::unsetUrlHandler(scheme);
    }
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

QStringList anchorsOf(const QTextDocument& document) {
    QStringList hrefs;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor())
                hrefs << it.fragment().charFormat().anchorHref();
    return hrefs;
}

} // namespace

TEST_F(UpdatesPane, HostileFeedShowsNothingActive) {
    test::FeedServer server;
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
            .arg(server.url("/track.png"), QUrl::fromLocalFile(secret).toString(), server.url("/style.css"), secret);
    const QByteArray feed =
        "<rss version='2.0' xmlns:s='urn:x'><channel><item><title>t</title><s:version>2.0</s:version>"
        "<s:shortVersionString>&lt;b&gt;2.0&lt;/b&gt;&lt;img src=x&gt;</s:shortVersionString>"
        "<description><![CDATA[" + notes.toUtf8() + "]]></description>"
        "<enclosure url='http://downloads.example/o.tar.gz' length='5'/></item></channel></rss>";
    server.serve("/feed.xml", {200, feed});

    OpenedLinks links;
    auto u = updater(server.url("/feed.xml").toStdString());
    UpdatesPreferencesView pane(*u);
    pane.checkNowButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !u->isChecking(); }, 10000));
    UpdateCheckDialog& dialog = *pane.checkDialog();
    QCoreApplication::processEvents();

    // The version is shown as the text it is.
    EXPECT_EQ(dialog.headline()->text(), "Version <b>2.0</b><img src=x> is available");
    EXPECT_EQ(dialog.headline()->textFormat(), Qt::PlainText);
    // A package from a plain-HTTP host is not offered.
    EXPECT_TRUE(dialog.message()->text().contains("only downloaded over HTTPS")) << dialog.message()->text().toStdString();
    EXPECT_FALSE(dialog.message()->text().contains("href=\"http://downloads.example"));

    ReleaseNotesBrowser& browser = *dialog.releaseNotes();
    const QString shown = browser.toPlainText();
    EXPECT_TRUE(shown.contains("Fixed one, two, three and four.")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("The end.")) << shown.toStdString();
    for (const char* gone : {"pwned", "alert", "background", "frame text"})
        EXPECT_FALSE(shown.contains(gone)) << gone;
    EXPECT_EQ(anchorsOf(*browser.document()), QStringList{"https://overlook.example/n"});
    // Nothing named by the notes is fetched, neither from the network nor from disk:
    // what the window draws has no pixel of the local picture, and what the document
    // holds for it, by URL or plain path, is not that picture; /dev/zero is not read.
    browser.resize(500, 400);
    const QImage drawn = browser.viewport()->grab().toImage();
    int magenta = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            magenta += drawn.pixelColor(x, y) == QColor(Qt::magenta);
    EXPECT_EQ(magenta, 0);
    QElapsedTimer clock;
    clock.start();
    for (const QUrl& local : {QUrl::fromLocalFile(secret), QUrl(secret), QUrl("/dev/zero"), QUrl("file:///dev/zero")}) {
        const QVariant held = browser.document()->resource(QTextDocument::ImageResource, local);
        EXPECT_NE(held.value<QImage>().size(), QSize(24, 24)) << local.toString().toStdString();
        EXPECT_TRUE(held.toByteArray().isEmpty()) << local.toString().toStdString();
    }
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_TRUE(browser.loadResource(QTextDocument::StyleSheetResource, QUrl(server.url("/style.css"))).toString().isEmpty());
    QTest::qWait(200);
    EXPECT_EQ(server.requests().size(), 1u); // the feed only
    // Inline images still show, up to a size.
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    secretImage.save(&buffer, "PNG");
    EXPECT_EQ(browser.loadResource(QTextDocument::ImageResource, QUrl("data:image/png;base64," + png.toBase64()))
                  .value<QImage>()
                  .size(),
              QSize(24, 24));
    QByteArray huge;
    QBuffer hugeBuffer(&huge);
    hugeBuffer.open(QIODevice::WriteOnly);
    QImage(4000, 10, QImage::Format_Mono).save(&hugeBuffer, "PNG");
    EXPECT_EQ(browser.loadResource(QTextDocument::ImageResource, QUrl("data:image/png;base64," + huge.toBase64()))
                  .value<QImage>(),
              ReleaseNotesBrowser::placeholderImage());

    // Links open only when clicked, and only https ones.
    EXPECT_TRUE(links.opened.isEmpty());
    for (const char* clicked : {"javascript:alert(1)", "http://evil.example/", "file:///etc/passwd",
                                "https://overlook.example/n"})
        Q_EMIT browser.anchorClicked(QUrl(clicked));
    Q_EMIT dialog.message()->linkActivated("http://evil.example/");
    EXPECT_EQ(links.opened, (QList<QUrl>{QUrl("https://overlook.example/n")}));

    // "Skip This Version" from the window.
    ASSERT_TRUE(dialog.skipButton()->isVisibleTo(&dialog));
    dialog.skipButton()->click();
    EXPECT_EQ(u->skippedVersion(), "2.0");
    EXPECT_FALSE(dialog.isVisible());

    // The notification's "Show" brings the same update back into the window.
    UpdateCheckResult result;
    result.kind = UpdateCheckResult::Kind::updateAvailable;
    result.item = AppcastItem{};
    result.item->version = result.item->displayVersion = "3.0";
    pane.showUpdate(result);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.headline()->text(), "Version 3.0 is available");
}

#include "UpdatesPaneTests.moc"
