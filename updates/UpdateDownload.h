#pragma once
// Fetches an update's package into the user's download folder and keeps it only
// when its Ed25519 signature, given by the feed, verifies against the public key
// built into the program. The feed is not trusted: the package must come over
// HTTPS, may not be larger than the feed says, is written to a private temporary
// file and moved under its name only once verified, never replaces a file the user
// has, and anything refused is deleted. Main thread only.
//
// What is signed is not the package alone but a short text that names the release
// as the user is told of it, so that a correctly signed old package cannot be
// offered under a newer version or another name (UTF-8, each line ending in "\n"):
//
//   overlook-update-signature-v1
//   version <the item's version>
//   display-version <its short version string, else the version>
//   file <the enclosure URL's file name, percent-decoded>
//   length <the package's size in bytes, decimal>
//   sha512 <SHA-512 of the package, 128 lowercase hex digits>

#include "updates/Appcast.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace overlook::updates {

// The key given to the build (-DOVERLOOK_UPDATE_PUBLIC_KEY), base64; empty without one.
QByteArray builtInUpdatePublicKey();

// Why `url` may not be downloaded from, or nothing when it may.
std::optional<QString> refusedDownloadURL(const QUrl& url);

// The text the release's signature covers (see above) for a package of `length`
// bytes whose SHA-512 is `sha512`.
QByteArray signedMessage(const AppcastItem& item, qint64 length, const QByteArray& sha512);

// Why the package at `path` is not the release `item` signed by `publicKeyBase64`
// (Ed25519, base64) with the item's signature, or nothing when it is.
std::optional<QString> refusedSignature(const QString& path, const AppcastItem& item,
                                        const QByteArray& publicKeyBase64);

// The feed's file name made a plain one: no folders, no leading dots or spaces, no
// "..", no control characters; "overlook-update" when nothing is left.
QString safeFileName(const QString& wanted);
// A name in `folder` for `wanted` that no file has: `wanted` itself, else
// "name (2).tar.gz", "name (3).tar.gz"…  `wanted` is reduced by safeFileName.
QString unusedFilePath(const QString& folder, const QString& wanted);

struct DownloadResult {
    AppcastItem item;
    QString path;  // the verified package; empty on failure
    QString error; // what went wrong, for the user
    bool ok() const { return error.isEmpty(); }
};

class UpdateDownloader final : public QObject {
    Q_OBJECT
public:
    // Without a length in the feed, no package may be larger than this.
    static constexpr qint64 kMaximumBytesWithoutLength = qint64(1) << 30;

    explicit UpdateDownloader(QNetworkAccessManager& network, QObject* parent = nullptr);
    ~UpdateDownloader() override;

    // The XDG download folder unless set.
    void setFolder(const QString& folder) { folder_ = folder; }
    QString folder() const;
    // Base64 of the raw 32-byte key; the built-in key unless set.
    void setPublicKey(const QByteArray& base64) { publicKey_ = base64; }
    const QByteArray& publicKey() const { return publicKey_; }
    void setTransferTimeout(int milliseconds) { transferTimeoutMs_ = milliseconds; }
    // The running version: a release that is not newer is refused. Unset: no check.
    void setRunningVersion(const QString& version) { runningVersion_ = version; }

    // Starts fetching `item`'s enclosure; `finished` tells how it went (at once when
    // it is refused before anything is fetched). False while one is running.
    bool start(const AppcastItem& item);
    bool isDownloading() const { return reply_ != nullptr; }

Q_SIGNALS:
    void finished(const overlook::updates::DownloadResult& result);

private:
    void fail(const AppcastItem& item, const QString& message);
    void receive();
    void finish();
    void refuse(const QString& message);

    QNetworkAccessManager& network_;
    QString folder_;
    QByteArray publicKey_;
    QString runningVersion_;
    int transferTimeoutMs_ = 60000;

    // The running download.
    QPointer<QNetworkReply> reply_;
    AppcastItem item_;
    std::unique_ptr<QFile> file_; // the private temporary file
    QString temporaryPath_;
    qint64 limit_ = 0;
    qint64 received_ = 0;
    QString refusal_;
};

} // namespace overlook::updates
