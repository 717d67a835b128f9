#include "updates/UpdateDownload.h"
#include "updates/Updater.h"

#include "Foundation/Logger.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QMimeDatabase>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>

#include <openssl/evp.h>

namespace overlook::updates {

namespace {

const Logger& log() {
    static const Logger logger(logs::kApplication, "Updater");
    return logger;
}

constexpr qsizetype kEd25519KeyBytes = 32;
constexpr qsizetype kEd25519SignatureBytes = 64;

std::optional<QByteArray> decodeBase64(const QByteArray& text) {
    auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return *decoded;
}

} // namespace

QByteArray builtInUpdatePublicKey() {
#ifdef OVERLOOK_UPDATE_PUBLIC_KEY
    return QByteArray(OVERLOOK_UPDATE_PUBLIC_KEY).trimmed();
#else
    return {};
#endif
}

std::optional<QString> refusedDownloadURL(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("The update's download address \"%1\" is not a web address.").arg(url.toString());
    if (isHttpsOrLoopback(url))
        return std::nullopt;
    return QStringLiteral("Refusing the update's download address %1: updates are only downloaded over HTTPS.")
        .arg(url.toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo));
}

// Why the key or the signature cannot be used, before any file is looked at.
static std::optional<QString> refusedKeyOrSignature(const QByteArray& signatureBase64,
                                                    const QByteArray& publicKeyBase64, QByteArray* key = nullptr, QByteArray* signature = nullptr) {
    if (publicKeyBase64.trimmed().isEmpty())
        return QStringLiteral("This copy of Overlook was built without a key to check the signatures of updates "
                              "(OVERLOOK_UPDATE_PUBLIC_KEY), so it downloads none by itself.");
    const auto k = decodeBase64(publicKeyBase64);
    if (!k || k->size() != kEd25519KeyBytes)
        return QStringLiteral("The update key built into this copy of Overlook is not a base64 Ed25519 public key.");
    if (signatureBase64.trimmed().isEmpty())
        return QStringLiteral("The update feed gives no signature for the package.");
    const auto s = decodeBase64(signatureBase64);
    if (!s || s->size() != kEd25519SignatureBytes)
        return QStringLiteral("The update feed's signature for the package is not a base64 Ed25519 signature.");
    if (key)
        *key = *k;
    if (signature)
        *signature = *s;
    return std::nullopt;
}

std::optional<QString> refusedSignature(const QString& path, const QByteArray& signatureBase64,
                                        const QByteArray& publicKeyBase64) {
    QByteArray keyBytes, signatureBytes;
    if (auto refused = refusedKeyOrSignature(signatureBase64, publicKeyBase64, &keyBytes, &signatureBytes))
        return refused;
    const QByteArray* key = &keyBytes;
    const QByteArray* signature = &signatureBytes;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Cannot read the downloaded package %1: %2").arg(path, file.errorString());
    // Ed25519 signs the whole message at once; the mapping spares a copy of it.
    const qint64 size = file.size();
    const uchar* bytes = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && !bytes)
        return QStringLiteral("Cannot read the downloaded package %1: %2").arg(path, file.errorString());
    static const uchar nothing = 0;

    bool valid = false;
    EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                 reinterpret_cast<const uchar*>(key->constData()), key->size());
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (pkey && context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey) == 1)
        valid = EVP_DigestVerify(context, reinterpret_cast<const uchar*>(signature->constData()), signature->size(),
                                 bytes ? bytes : &nothing, std::size_t(size)) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(pkey);
    if (!valid)
        return QStringLiteral("The package's signature does not match: it was altered, or not signed by "
                              "Overlook's developers.");
    return std::nullopt;
}

QString unusedFilePath(const QString& folder, const QString& wanted) {
    // Only a plain name: the feed must not choose where the file goes.
    QString name = QFileInfo(wanted).fileName();
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    if (name.isEmpty())
        name = QStringLiteral("overlook-update");
    const QDir dir(folder);
    QString candidate = dir.filePath(name);
    if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
        return candidate;
    // "overlook-1.2.tar.gz" becomes "overlook-1.2 (2).tar.gz": the whole suffix stays.
    QString suffix = QMimeDatabase().suffixForFileName(name);
    if (suffix.isEmpty() && name.contains(QLatin1Char('.')))
        suffix = name.section(QLatin1Char('.'), -1);
    const QString stem = suffix.isEmpty() ? name : name.left(name.size() - suffix.size() - 1);
    for (int n = 2;; ++n) {
        candidate = dir.filePath(suffix.isEmpty() ? QStringLiteral("%1 (%2)").arg(stem).arg(n)
                                                  : QStringLiteral("%1 (%2).%3").arg(stem).arg(n).arg(suffix));
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
            return candidate;
    }
}

UpdateDownloader::UpdateDownloader(QNetworkAccessManager& network, QObject* parent)
    : QObject(parent), network_(network), publicKey_(builtInUpdatePublicKey()) {}

UpdateDownloader::~UpdateDownloader() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
    if (file_)
        file_->remove();
}

QString UpdateDownloader::folder() const {
    if (!folder_.isEmpty())
        return folder_;
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return downloads.isEmpty() ? QDir::homePath() : downloads;
}

void UpdateDownloader::fail(const AppcastItem& item, const QString& message) {
    log().error("Update download: %s", qPrintable(message));
    DownloadResult result;
    result.item = item;
    result.error = message;
    Q_EMIT finished(result);
}

bool UpdateDownloader::start(const AppcastItem& item) {
    if (reply_)
        return false;
    if (item.enclosureURL.isEmpty()) {
        fail(item, QStringLiteral("The update feed names no package for version %1.").arg(item.displayVersion));
        return true;
    }
    if (auto refused = refusedDownloadURL(item.enclosureURL)) {
        fail(item, *refused);
        return true;
    }
    // Nothing is fetched that could not be verified afterwards.
    if (auto refused = refusedKeyOrSignature(item.edSignature, publicKey_)) {
        fail(item, QStringLiteral("Version %1 was not downloaded. %2").arg(item.displayVersion, *refused));
        return true;
    }

    const QString folder = this->folder();
    if (!QDir().mkpath(folder)) {
        fail(item, QStringLiteral("Cannot make the download folder %1.").arg(folder));
        return true;
    }
    // NewOnly: if a file appears under the name meanwhile, it is not ours to write.
    auto file = std::make_unique<QFile>();
    for (int attempt = 0; attempt < 3; ++attempt) {
        file->setFileName(unusedFilePath(folder, item.enclosureURL.fileName()));
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
    }
    if (!file->isOpen()) {
        fail(item, QStringLiteral("Cannot write the update to %1: %2").arg(file->fileName(), file->errorString()));
        return true;
    }

    item_ = item;
    file_ = std::move(file);
    limit_ = item.enclosureLength > 0 ? item.enclosureLength : kMaximumBytesWithoutLength;
    received_ = 0;
    refusal_.clear();

    QNetworkRequest request(item.enclosureURL);
    request.setTransferTimeout(transferTimeoutMs_);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    QNetworkReply* reply = network_.get(request);
    reply_ = reply;
    connect(reply, &QNetworkReply::redirected, this, [this, reply](const QUrl& to) {
        if (auto refused = refusedDownloadURL(to))
            return refuse(*refused);
        Q_EMIT reply->redirectAllowed();
    });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limit_)
            refuse(QStringLiteral("The server sends %1 bytes for version %2, more than the %3 the feed gives; "
                                  "nothing was kept.")
                       .arg(length.toLongLong())
                       .arg(item_.displayVersion)
                       .arg(limit_));
    });
    connect(reply, &QNetworkReply::readyRead, this, &UpdateDownloader::receive);
    connect(reply, &QNetworkReply::finished, this, &UpdateDownloader::finish);
    log().info("Update download: fetching %s into %s", qPrintable(item.enclosureURL.toString()),
               qPrintable(file_->fileName()));
    return true;
}

void UpdateDownloader::refuse(const QString& message) {
    if (refusal_.isEmpty())
        refusal_ = message;
    if (reply_)
        reply_->abort();
}

void UpdateDownloader::receive() {
    if (!reply_ || !refusal_.isEmpty())
        return;
    const QByteArray chunk = reply_->readAll();
    if (received_ + chunk.size() > limit_)
        return refuse(QStringLiteral("The server sends more than the %1 bytes the feed gives for version %2; "
                                     "nothing was kept.")
                          .arg(limit_)
                          .arg(item_.displayVersion));
    if (file_->write(chunk) != chunk.size())
        return refuse(QStringLiteral("Cannot write the update to %1: %2").arg(file_->fileName(), file_->errorString()));
    received_ += chunk.size();
}

void UpdateDownloader::finish() {
    QNetworkReply* reply = reply_;
    if (!reply)
        return;
    receive();
    reply->deleteLater();
    reply_ = nullptr;
    const std::unique_ptr<QFile> file = std::move(file_);
    file->close();
    const QString path = file->fileName();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    QString error = refusal_;
    if (error.isEmpty() && reply->error() == QNetworkReply::OperationCanceledError)
        error = QStringLiteral("The download server %1 did not answer within %2 seconds.")
                    .arg(reply->url().host())
                    .arg(transferTimeoutMs_ / 1000.0);
    else if (error.isEmpty() && status >= 400)
        error = QStringLiteral("The download server %1 answered HTTP %2.").arg(reply->url().host()).arg(status);
    else if (error.isEmpty() && reply->error() != QNetworkReply::NoError)
        error = QStringLiteral("Cannot download the update from %1: %2").arg(reply->url().host(), reply->errorString());
    else if (error.isEmpty() && item_.enclosureLength > 0 && received_ != item_.enclosureLength)
        error = QStringLiteral("The download of version %1 has %2 bytes, the feed gives %3; nothing was kept.")
                    .arg(item_.displayVersion)
                    .arg(received_)
                    .arg(item_.enclosureLength);
    else if (error.isEmpty())
        if (auto refused = refusedSignature(path, item_.edSignature, publicKey_))
            error = QStringLiteral("The download of version %1 was deleted. %2").arg(item_.displayVersion, *refused);

    DownloadResult result;
    result.item = item_;
    if (error.isEmpty()) {
        result.path = path;
        log().info("Update download: %s verified", qPrintable(path));
    } else {
        file->remove();
        result.error = error;
        log().error("Update download: %s", qPrintable(error));
    }
    Q_EMIT finished(result);
}

} // namespace overlook::updates
