#pragma once
// Fetches an update's package into the user's download folder and keeps it only
// when its Ed25519 signature, given by the feed, verifies against the public key
// built into the program. The feed is not trusted: the package must come over
// HTTPS (plain HTTP only from the loopback interface), may not be larger than the
// feed says, never replaces a file the user has, and anything refused is deleted.
// Main thread only.

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

// Why the bytes of `path` are not signed by `publicKeyBase64` with `signatureBase64`
// (Ed25519, both base64), or nothing when they are.
std::optional<QString> refusedSignature(const QString& path, const QByteArray& signatureBase64,
                                        const QByteArray& publicKeyBase64);

// A name in `folder` for `wanted` that no file has: `wanted` itself, else
// "name (2).tar.gz", "name (3).tar.gz"…  `wanted` is reduced to a plain file name.
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
    int transferTimeoutMs_ = 60000;

    // The running download.
    QPointer<QNetworkReply> reply_;
    AppcastItem item_;
    std::unique_ptr<QFile> file_;
    qint64 limit_ = 0;
    qint64 received_ = 0;
    QString refusal_;
};

} // namespace overlook::updates
