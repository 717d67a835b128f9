// Automatic downloads against packages served by the test on 127.0.0.1 and signed
// in the test: only a package signed by the configured key as the release the feed
// names is kept, nothing larger than the feed says is accepted, nothing comes from a
// plain-HTTP host, nothing unverified carries the package's name, and no file of the
// user's is ever replaced.

#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/updates/FeedServer.h"
#include "tests/updates/Signing.h"
#include "updates/UpdateDownload.h"
#include "updates/Updater.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

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
        allowPlainHttpToLoopbackForTests(true);
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
    // Signed as release 2.0 under the last part of `path`.
    QByteArray sign(const QByteArray& bytes, const QString& path, const test::SigningKey* key = nullptr) const {
        return (key ? key : &key_)->signRelease(bytes, "2.0", QUrl(path).fileName().toUtf8());
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
    const AppcastItem good = serve("/overlook-2.0.tar.gz", package_, package_.size(), sign(package_, "/overlook-2.0.tar.gz"));
    const DownloadResult kept = download(good);
    ASSERT_TRUE(kept.ok()) << kept.error.toStdString();
    EXPECT_EQ(kept.path, QDir(folder_.path()).filePath("overlook-2.0.tar.gz"));
    EXPECT_EQ(readFile(kept.path), package_);

    // One changed byte, the same signature.
    QByteArray tampered = package_;
    tampered[100] = 'X';
    const DownloadResult altered =
        download(serve("/tampered/overlook-2.0.tar.gz", tampered, tampered.size(), sign(package_, "/tampered/overlook-2.0.tar.gz")));
    EXPECT_FALSE(altered.ok());
    EXPECT_TRUE(altered.error.contains("signature does not match")) << altered.error.toStdString();
    EXPECT_TRUE(altered.path.isEmpty());

    // Signed, but by someone else's key.
    const test::SigningKey stranger;
    const DownloadResult foreign =
        download(serve("/foreign/overlook-2.0.tar.gz", package_, package_.size(), sign(package_, "/foreign/overlook-2.0.tar.gz", &stranger)));
    EXPECT_TRUE(foreign.error.contains("signature does not match")) << foreign.error.toStdString();
    // A signature that is no signature at all.
    const DownloadResult garbled = download(serve("/garbled/overlook-2.0.tar.gz", package_, package_.size(), "bm90IGEgc2lnbmF0dXJl"));
    EXPECT_TRUE(garbled.error.contains("not a base64 Ed25519 signature")) << garbled.error.toStdString();
    // Correctly signed, but as another release: an old package offered as 9.9, the
    // package under another name, or shown to the user as another version.
    const QByteArray old = QByteArray("overlook 1.0 package\n").repeated(300);
    AppcastItem replayed = serve("/old/overlook-9.9.tar.gz", old, old.size(),
                                 key_.signRelease(old, "1.0", "overlook-1.0.tar.gz"));
    replayed.version = replayed.displayVersion = "9.9";
    AppcastItem renamed = serve("/renamed/overlook-2.0.deb", package_, package_.size(), sign(package_, "/overlook-2.0.tar.gz"));
    AppcastItem relabelled = good;
    relabelled.displayVersion = "9.9";
    for (const AppcastItem& item : {replayed, renamed, relabelled}) {
        const DownloadResult refused = download(item);
        EXPECT_TRUE(refused.error.contains("signature does not match")) << refused.error.toStdString();
    }
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
    // Nor a release that is not newer than the running copy.
    downloader_->setPublicKey(key_.publicKeyBase64());
    downloader_->setRunningVersion("2.0");
    EXPECT_TRUE(download(good).error.contains("not newer than this copy")) << download(good).error.toStdString();
    EXPECT_EQ(server_->requests().size(), asked);
    EXPECT_EQ(files(), QStringList{"overlook-2.0.tar.gz"});
}

TEST_F(UpdateDownload, NeverReplacesAFile) {
    const QString mine = QDir(folder_.path()).filePath("overlook-2.0.tar.gz");
    writeFile(mine, "the user's own file");
    writeFile(QDir(folder_.path()).filePath("overlook-2.0 (2).tar.gz"), "another of theirs");
    const AppcastItem item = serve("/overlook-2.0.tar.gz", package_, package_.size(), sign(package_, "/overlook-2.0.tar.gz"));
    const DownloadResult first = download(item);
    ASSERT_TRUE(first.ok()) << first.error.toStdString();
    EXPECT_EQ(QFileInfo(first.path).fileName(), "overlook-2.0 (3).tar.gz");
    const DownloadResult second = download(item);
    EXPECT_EQ(QFileInfo(second.path).fileName(), "overlook-2.0 (4).tar.gz");
    EXPECT_EQ(readFile(mine), "the user's own file");
    EXPECT_EQ(readFile(QDir(folder_.path()).filePath("overlook-2.0 (2).tar.gz")), "another of theirs");
    EXPECT_EQ(readFile(second.path), package_);

    // While the package comes in, nothing carries its name: a hidden file only the
    // user can read holds it, and it is gone when the download fails.
    downloader_->setTransferTimeout(1500);
    server_->serve("/stalled/overlook-2.1.tar.gz", {200, package_, false, false, {}, /*stall=*/true});
    std::optional<DownloadResult> stalled;
    QObject::connect(downloader_.get(), &UpdateDownloader::finished, [&](const DownloadResult& r) { stalled = r; });
    AppcastItem partial = item;
    partial.enclosureURL = QUrl(server_->url("/stalled/overlook-2.1.tar.gz"));
    ASSERT_TRUE(downloader_->start(partial));
    QString temporary;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (const QString& name : files())
            if (!name.startsWith("overlook"))
                temporary = QDir(folder_.path()).filePath(name);
        return !temporary.isEmpty();
    }, 5000)) << files().join(',').toStdString();
    EXPECT_TRUE(QFileInfo(temporary).fileName().startsWith('.')) << temporary.toStdString();
    struct stat info{};
    ASSERT_EQ(::stat(QFile::encodeName(temporary).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_FALSE(files().contains("overlook-2.1.tar.gz"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalled.has_value(); }, 10000));
    EXPECT_FALSE(stalled->ok());
    EXPECT_FALSE(QFileInfo::exists(temporary));

    // The feed names the file, never where it goes; a dangling link is a file too.
    const QString dir = folder_.path();
    EXPECT_EQ(safeFileName("..\\..\\evil.sh"), "evil.sh");
    EXPECT_EQ(safeFileName(" ..hidden..tar.gz"), "hidden.tar.gz");
    EXPECT_EQ(safeFileName("a\nb\x01.deb"), "ab.deb");
    EXPECT_EQ(safeFileName(QUrl("https://x.example/a%2F..%2F.profile").fileName()), "profile");
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
    const DownloadResult announced = download(serve("/big.tar.gz", big, package_.size(), sign(package_, "/big.tar.gz")));
    EXPECT_TRUE(announced.error.contains("more than the")) << announced.error.toStdString();
    // It does not say, and keeps sending: the download stops at the limit.
    const DownloadResult streamed =
        download(serve("/streamed.tar.gz", big, package_.size(), sign(package_, "/streamed.tar.gz"), /*noLength=*/true));
    EXPECT_TRUE(streamed.error.contains("more than the")) << streamed.error.toStdString();
    // Less than the feed gives is not the package either.
    const DownloadResult shorter =
        download(serve("/short.tar.gz", package_.left(100), package_.size(), sign(package_.left(100), "/short.tar.gz")));
    EXPECT_TRUE(shorter.error.contains("the feed gives")) << shorter.error.toStdString();
    EXPECT_TRUE(files().isEmpty()) << files().join(',').toStdString();
}

TEST_F(UpdateDownload, OnlyOverHttpsOrFromLoopback) {
    AppcastItem item = serve("/p.tar.gz", package_, package_.size(), sign(package_, "/p.tar.gz"));
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
    // Plain HTTP even to loopback only while a test allows it; never down from HTTPS.
    allowPlainHttpToLoopbackForTests(false);
    EXPECT_TRUE(refusedDownloadURL(QUrl(server_->url("/p.tar.gz"))).has_value());
    EXPECT_TRUE(download(serve("/p.tar.gz", package_, package_.size(), sign(package_, "/p.tar.gz")))
                    .error.contains("only downloaded over HTTPS"));
    allowPlainHttpToLoopbackForTests(true);
    EXPECT_TRUE(refusedRedirect(QUrl("https://downloads.example/p.tar.gz"), QUrl(server_->url("/p.tar.gz"))));
    EXPECT_FALSE(refusedRedirect(QUrl("https://downloads.example/p"), QUrl("https://mirror.example/p")));
    // A loopback server may not hand the download on to a plain-HTTP host.
    server_->serve("/moved.tar.gz", {302, {}, false, false, "http://downloads.example/p.tar.gz"});
    item.enclosureURL = QUrl(server_->url("/moved.tar.gz"));
    const DownloadResult redirected = download(item);
    EXPECT_TRUE(redirected.error.contains("only downloaded over HTTPS")) << redirected.error.toStdString();
    EXPECT_TRUE(files().isEmpty());
    EXPECT_EQ(refusedDownloadURL(QUrl("https://downloads.example/p.tar.gz")), std::nullopt);
}
