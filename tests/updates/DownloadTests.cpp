// Automatic downloads against packages served by the test on 127.0.0.1 and signed
// in the test: only a package signed by the configured key is kept, nothing larger
// than the feed says is accepted, nothing comes from a plain-HTTP host, and no file
// of the user's is ever replaced.

#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/updates/FeedServer.h"
#include "tests/updates/Signing.h"
#include "updates/UpdateDownload.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace overlook;
using namespace overlook::updates;

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

class UpdateDownload : public ::testing::Test {
protected:
    UpdateDownload() {
        ensureOffscreenApplication();
        server_ = std::make_unique<test::FeedServer>(); // after the application, for its events
        downloader_ = std::make_unique<UpdateDownloader>(network_);
        downloader_->setFolder(folder_.path());
        downloader_->setPublicKey(key_.publicKeyBase64());
        downloader_->setTransferTimeout(5000);
    }

    // Serves `body` at `path` and describes it as the feed would.
    AppcastItem serve(const QString& path, const QByteArray& body, qint64 length, QByteArray signature,
                      bool noLength = false) {
        server_->serve(path, {200, body, false, noLength});
        AppcastItem item;
        item.version = item.displayVersion = QStringLiteral("2.0");
        item.enclosureURL = QUrl(server_->url(path));
        item.enclosureLength = length;
        item.edSignature = std::move(signature);
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

    QTemporaryDir folder_;
    QNetworkAccessManager network_;
    std::unique_ptr<test::FeedServer> server_;
    std::unique_ptr<UpdateDownloader> downloader_;
    test::SigningKey key_;
    const QByteArray package_ = QByteArray("overlook 2.0 package\n").repeated(300);
};

} // namespace

TEST_F(UpdateDownload, KeepsOnlyPackagesSignedByTheConfiguredKey) {
    const AppcastItem good = serve("/overlook-2.0.tar.gz", package_, package_.size(), key_.signBase64(package_));
    const DownloadResult kept = download(good);
    ASSERT_TRUE(kept.ok()) << kept.error.toStdString();
    EXPECT_EQ(kept.path, QDir(folder_.path()).filePath("overlook-2.0.tar.gz"));
    EXPECT_EQ(readFile(kept.path), package_);

    // One changed byte, the same signature.
    QByteArray tampered = package_;
    tampered[100] = 'X';
    const DownloadResult altered =
        download(serve("/tampered/overlook-2.0.tar.gz", tampered, tampered.size(), key_.signBase64(package_)));
    EXPECT_FALSE(altered.ok());
    EXPECT_TRUE(altered.error.contains("signature does not match")) << altered.error.toStdString();
    EXPECT_TRUE(altered.path.isEmpty());

    // Signed, but by someone else's key.
    const test::SigningKey stranger;
    const DownloadResult foreign =
        download(serve("/foreign/overlook-2.0.tar.gz", package_, package_.size(), stranger.signBase64(package_)));
    EXPECT_TRUE(foreign.error.contains("signature does not match")) << foreign.error.toStdString();
    // A signature that is no signature at all.
    const DownloadResult garbled = download(serve("/garbled/overlook-2.0.tar.gz", package_, package_.size(), "bm90IGEgc2lnbmF0dXJl"));
    EXPECT_TRUE(garbled.error.contains("not a base64 Ed25519 signature")) << garbled.error.toStdString();
    // Refused packages are deleted: only the good one is there.
    EXPECT_EQ(files(), QStringList{"overlook-2.0.tar.gz"});

    // Unsigned, or no key to check with: nothing is even fetched.
    const std::size_t asked = server_->requests().size();
    const DownloadResult unsigned_ = download(serve("/unsigned/overlook-2.0.tar.gz", package_, package_.size(), {}));
    EXPECT_TRUE(unsigned_.error.contains("gives no signature")) << unsigned_.error.toStdString();
    downloader_->setPublicKey({});
    const DownloadResult keyless = download(good);
    EXPECT_TRUE(keyless.error.contains("built without a key")) << keyless.error.toStdString();
    downloader_->setPublicKey("c2hvcnQ=");
    EXPECT_TRUE(download(good).error.contains("not a base64 Ed25519 public key"));
    EXPECT_EQ(server_->requests().size(), asked);
    EXPECT_EQ(files(), QStringList{"overlook-2.0.tar.gz"});
}

TEST_F(UpdateDownload, NeverReplacesAFile) {
    const QString mine = QDir(folder_.path()).filePath("overlook-2.0.tar.gz");
    writeFile(mine, "the user's own file");
    writeFile(QDir(folder_.path()).filePath("overlook-2.0 (2).tar.gz"), "another of theirs");
    const AppcastItem item = serve("/overlook-2.0.tar.gz", package_, package_.size(), key_.signBase64(package_));
    const DownloadResult first = download(item);
    ASSERT_TRUE(first.ok()) << first.error.toStdString();
    EXPECT_EQ(QFileInfo(first.path).fileName(), "overlook-2.0 (3).tar.gz");
    const DownloadResult second = download(item);
    EXPECT_EQ(QFileInfo(second.path).fileName(), "overlook-2.0 (4).tar.gz");
    EXPECT_EQ(readFile(mine), "the user's own file");
    EXPECT_EQ(readFile(QDir(folder_.path()).filePath("overlook-2.0 (2).tar.gz")), "another of theirs");
    EXPECT_EQ(readFile(second.path), package_);

    // The feed names the file, never where it goes; a dangling link is a file too.
    const QString dir = folder_.path();
    EXPECT_EQ(unusedFilePath(dir, "../../.bashrc"), QDir(dir).filePath("bashrc"));
    EXPECT_EQ(unusedFilePath(dir, ""), QDir(dir).filePath("overlook-update"));
    ASSERT_TRUE(QFile::link(QDir(dir).filePath("nowhere"), QDir(dir).filePath("pkg.deb")));
    EXPECT_EQ(unusedFilePath(dir, "pkg.deb"), QDir(dir).filePath("pkg (2).deb"));
    writeFile(QDir(dir).filePath("README"), "x");
    EXPECT_EQ(unusedFilePath(dir, "README"), QDir(dir).filePath("README (2)"));
}

TEST_F(UpdateDownload, RefusesMoreThanTheFeedSays) {
    const QByteArray big = package_ + "and a payload nobody signed";
    // The server says how much it sends, and it is too much.
    const DownloadResult announced = download(serve("/big.tar.gz", big, package_.size(), key_.signBase64(package_)));
    EXPECT_TRUE(announced.error.contains("more than the")) << announced.error.toStdString();
    // It does not say, and keeps sending: the download stops at the limit.
    const DownloadResult streamed =
        download(serve("/streamed.tar.gz", big, package_.size(), key_.signBase64(package_), /*noLength=*/true));
    EXPECT_TRUE(streamed.error.contains("more than the")) << streamed.error.toStdString();
    // Less than the feed gives is not the package either.
    const DownloadResult shorter =
        download(serve("/short.tar.gz", package_.left(100), package_.size(), key_.signBase64(package_.left(100))));
    EXPECT_TRUE(shorter.error.contains("the feed gives")) << shorter.error.toStdString();
    EXPECT_TRUE(files().isEmpty()) << files().join(',').toStdString();
}

TEST_F(UpdateDownload, OnlyOverHttpsOrFromLoopback) {
    AppcastItem item = serve("/p.tar.gz", package_, package_.size(), key_.signBase64(package_));
    for (const char* address : {"http://downloads.example/p.tar.gz", "ftp://downloads.example/p.tar.gz",
                                "file:///etc/passwd", "http://192.168.1.1/p.tar.gz"}) {
        item.enclosureURL = QUrl(address);
        const DownloadResult refused = download(item);
        EXPECT_FALSE(refused.ok()) << address;
        EXPECT_TRUE(refused.error.contains("only downloaded over HTTPS") || refused.error.contains("not a web address"))
            << refused.error.toStdString();
    }
    item.enclosureURL = QUrl();
    EXPECT_TRUE(download(item).error.contains("names no package"));
    EXPECT_TRUE(server_->requests().empty());
    // A loopback server may not hand the download on to a plain-HTTP host.
    server_->serve("/moved.tar.gz", {302, {}, false, false, "http://downloads.example/p.tar.gz"});
    item.enclosureURL = QUrl(server_->url("/moved.tar.gz"));
    const DownloadResult redirected = download(item);
    EXPECT_TRUE(redirected.error.contains("only downloaded over HTTPS")) << redirected.error.toStdString();
    EXPECT_TRUE(files().isEmpty());
    EXPECT_EQ(refusedDownloadURL(QUrl("https://downloads.example/p.tar.gz")), std::nullopt);
}
