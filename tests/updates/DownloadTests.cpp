#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/updates/FeedServer.h"
#include "tests/updates/Signing.h"
#include "updates/UpdateDownload.h"
#include "updates/Updater.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace overlook;
using namespace overlook::updates;
using Mode = overlook::test::FeedServer::Mode;

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

::testing::AssertionResult refused(const DownloadResult& result, const char* why) {
    if (!result.ok() && result.error.contains(why))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the download gave \"" << result.error.toStdString() << "\"";
}

class UpdateDownload : public ::testing::Test {
protected:
    UpdateDownload() {
        ensureOffscreenApplication();
        allowPlainHttpToLoopbackForTests(true);
        server_ = std::make_unique<test::FeedServer>(); // after the application, for its events
        downloader_ = std::make_unique<UpdateDownloader>(network_);
        downloader_->setFolder(folder_.path());
        downloader_->setPublicKey(key_.publicKeyBase64());
        downloader_->setTransferTimeout(5000);
    }

    // Signed as release 2.0 under the last part of `path` unless a signature is given.
    AppcastItem serve(const QString& path, const QByteArray& body, std::optional<QByteArray> signature = std::nullopt,
                      qint64 length = -1, Mode mode = Mode::complete) {
        server_->serve(path, {200, body, mode});
        AppcastItem item;
        item.version = item.displayVersion = QStringLiteral("2.0");
        item.enclosureURL = QUrl(server_->url(path));
        item.enclosureLength = length < 0 ? body.size() : length;
        item.edSignature = signature.value_or(key_.signRelease(body, "2.0", QUrl(path).fileName().toUtf8()));
        return item;
    }
    DownloadResult download(const AppcastItem& item) {
        std::optional<DownloadResult> result;
        const auto connection = QObject::connect(downloader_.get(), &UpdateDownloader::finished,
                                                 [&](const DownloadResult& r) { result = r; });
        EXPECT_TRUE(downloader_->start(item));
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 10000));
        QObject::disconnect(connection);
        return result.value_or(DownloadResult{item, {}, QStringLiteral("no answer")});
    }
    QStringList files() const { return QDir(folder_.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QString inFolder(const QString& name) const { return QDir(folder_.path()).filePath(name); }

    QTemporaryDir folder_;
    QNetworkAccessManager network_;
    std::unique_ptr<test::FeedServer> server_;
    std::unique_ptr<UpdateDownloader> downloader_;
    test::SigningKey key_;
    const QByteArray package_ = QByteArray("overlook 2.0 package\n").repeated(300);
};

} // namespace

TEST_F(UpdateDownload, KeepsOnlyPackagesSignedByTheConfiguredKey) {
    const AppcastItem good = serve("/overlook-2.0.tar.gz", package_);
    const DownloadResult kept = download(good);
    ASSERT_TRUE(kept.ok()) << kept.error.toStdString();
    EXPECT_EQ(kept.path, inFolder("overlook-2.0.tar.gz"));
    EXPECT_EQ(readFile(kept.path), package_);

    QByteArray tampered = package_;
    tampered[100] = 'X';
    const test::SigningKey stranger;
    const QByteArray old = QByteArray("overlook 1.0 package\n").repeated(300);
    // Correctly signed, but as another release, file name or display version.
    AppcastItem replayed = serve("/old/overlook-9.9.tar.gz", old, key_.signRelease(old, "1.0", "overlook-1.0.tar.gz"));
    replayed.version = replayed.displayVersion = "9.9";
    AppcastItem relabelled = good;
    relabelled.displayVersion = "9.9";
    for (const AppcastItem& item :
         {serve("/tampered/overlook-2.0.tar.gz", tampered, good.edSignature), // one changed byte
          serve("/foreign/overlook-2.0.tar.gz", package_, stranger.signRelease(package_, "2.0", "overlook-2.0.tar.gz")),
          replayed, serve("/renamed/overlook-2.0.deb", package_, good.edSignature), relabelled}) {
        const DownloadResult result = download(item);
        EXPECT_TRUE(refused(result, "signature does not match")) << item.enclosureURL.toString().toStdString();
        EXPECT_TRUE(result.path.isEmpty());
    }
    EXPECT_TRUE(refused(download(serve("/garbled/overlook-2.0.tar.gz", package_, "bm90IGEgc2lnbmF0dXJl")),
                        "not a base64 Ed25519 signature"));
    EXPECT_EQ(files(), QStringList{"overlook-2.0.tar.gz"}); // refused packages are deleted

    const std::size_t asked = server_->requests().size();
    EXPECT_TRUE(refused(download(serve("/unsigned/overlook-2.0.tar.gz", package_, QByteArray())), "gives no signature"));
    downloader_->setPublicKey({});
    EXPECT_TRUE(refused(download(good), "built without a key"));
    downloader_->setPublicKey("c2hvcnQ=");
    EXPECT_TRUE(refused(download(good), "not a base64 Ed25519 public key"));
    downloader_->setPublicKey(key_.publicKeyBase64());
    downloader_->setRunningVersion("2.0");
    EXPECT_TRUE(refused(download(good), "not newer than this copy"));
    EXPECT_EQ(server_->requests().size(), asked);
    EXPECT_EQ(files(), QStringList{"overlook-2.0.tar.gz"});
}

TEST_F(UpdateDownload, NeverReplacesAFile) {
    writeFile(inFolder("overlook-2.0.tar.gz"), "the user's own file");
    writeFile(inFolder("overlook-2.0 (2).tar.gz"), "another of theirs");
    const AppcastItem item = serve("/overlook-2.0.tar.gz", package_);
    const DownloadResult first = download(item);
    ASSERT_TRUE(first.ok()) << first.error.toStdString();
    EXPECT_EQ(first.path, inFolder("overlook-2.0 (3).tar.gz"));
    const DownloadResult second = download(item);
    EXPECT_EQ(second.path, inFolder("overlook-2.0 (4).tar.gz"));
    EXPECT_EQ(readFile(inFolder("overlook-2.0.tar.gz")), "the user's own file");
    EXPECT_EQ(readFile(inFolder("overlook-2.0 (2).tar.gz")), "another of theirs");

    downloader_->setTransferTimeout(1500);
    std::optional<DownloadResult> stalled;
    QObject::connect(downloader_.get(), &UpdateDownloader::finished, [&](const DownloadResult& r) { stalled = r; });
    ASSERT_TRUE(downloader_->start(serve("/stalled/overlook-2.1.tar.gz", package_, {}, -1, Mode::stall)));
    QString temporary;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (const QString& name : files())
            if (!name.startsWith("overlook"))
                temporary = inFolder(name);
        return !temporary.isEmpty();
    }, 5000)) << files().join(',').toStdString();
    struct stat info{};
    ASSERT_EQ(::stat(QFile::encodeName(temporary).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_FALSE(files().contains("overlook-2.1.tar.gz"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalled.has_value(); }, 10000));
    EXPECT_FALSE(stalled->ok());
    EXPECT_FALSE(QFileInfo::exists(temporary));

    EXPECT_EQ(safeFileName("..\\..\\evil.sh"), "evil.sh");
    EXPECT_EQ(safeFileName(" ..hidden..tar.gz"), "hidden.tar.gz");
    EXPECT_EQ(safeFileName("a\nb\x01.deb"), "ab.deb");
    EXPECT_EQ(unusedFilePath(folder_.path(), "../../.bashrc"), inFolder("bashrc"));
    ASSERT_TRUE(QFile::link(inFolder("nowhere"), inFolder("pkg.deb"))); // a dangling link is not followed
    EXPECT_EQ(unusedFilePath(folder_.path(), "pkg.deb"), inFolder("pkg (2).deb"));
}

TEST_F(UpdateDownload, OnlyOverHttpsOrFromLoopbackAndNeverMoreOrLessThanTheFeedSays) {
    AppcastItem item = serve("/p.tar.gz", package_);
    for (const char* address : {"ftp://downloads.example/p.tar.gz", "file:///etc/passwd", "http://192.168.1.1/p.tar.gz"}) {
        item.enclosureURL = QUrl(address);
        const DownloadResult result = download(item);
        EXPECT_TRUE(refused(result, "only downloaded over HTTPS") || refused(result, "not a web address")) << address;
    }
    item.enclosureURL = QUrl();
    EXPECT_TRUE(refused(download(item), "names no package"));
    EXPECT_TRUE(server_->requests().empty());
    allowPlainHttpToLoopbackForTests(false);
    EXPECT_TRUE(refused(download(serve("/p.tar.gz", package_)), "only downloaded over HTTPS"));
    allowPlainHttpToLoopbackForTests(true);
    EXPECT_TRUE(refusedRedirect(QUrl("https://downloads.example/p.tar.gz"), QUrl(server_->url("/p.tar.gz"))));
    EXPECT_FALSE(refusedRedirect(QUrl("https://downloads.example/p"), QUrl("https://mirror.example/p")));
    EXPECT_EQ(refusedDownloadURL(QUrl("https://downloads.example/p.tar.gz")), std::nullopt);
    server_->serve("/moved.tar.gz", {302, {}, Mode::complete, "http://downloads.example/p.tar.gz"});
    item.enclosureURL = QUrl(server_->url("/moved.tar.gz"));
    EXPECT_TRUE(refused(download(item), "only downloaded over HTTPS"));

    SCOPED_TRACE("more or less than the feed says");
    const QByteArray big = package_ + "and a payload nobody signed";
    const QByteArray signature = key_.signRelease(package_, "2.0", "big.tar.gz");
    EXPECT_TRUE(refused(download(serve("/big.tar.gz", big, signature, package_.size())), "more than the"));
    EXPECT_TRUE(refused(download(serve("/big.tar.gz", big, signature, package_.size(), Mode::noLength)), "more than the"));
    EXPECT_TRUE(refused(download(serve("/short.tar.gz", package_.left(100), {}, package_.size())), "the feed gives"));
    EXPECT_TRUE(files().isEmpty()) << files().join(',').toStdString();
}
