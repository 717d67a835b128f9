#include "updates/UpdateDownload.h"
#include "updates/Updater.h"

#include "Foundation/Logger.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QMimeDatabase>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QDateTime>
#include <QStandardPaths>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QByteArray signedMessage(const AppcastItem& item, qint64 length, const QByteArray& sha512) {
    const QString display = item.displayVersion.isEmpty() ? item.version : item.displayVersion;
    return QByteArray("overlook-update-signature-v1\n") + "version " + item.version.toUtf8() + "\n" +
           "display-version " + display.toUtf8() + "\n" + "file " + item.enclosureURL.fileName().toUtf8() + "\n" +
           "length " + QByteArray::number(length) + "\n" + "sha512 " + sha512.toHex() + "\n";
}

std::optional<QString> refusedSignature(const QString& path, const AppcastItem& item,
                                        const QByteArray& publicKeyBase64) {
    QByteArray key, signature;
    if (auto refused = refusedKeyOrSignature(item.edSignature, publicKeyBase64, &key, &signature))
        return refused;
    const auto unreadable = [&](const QString& why) {
        return QStringLiteral("Cannot read the downloaded package %1: %2").arg(path, why);
    };
    // Non-blocking and only a regular file: a FIFO put in its place must not hang us.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return unreadable(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return unreadable(QStringLiteral("it is not a plain file"));
    }
    EVP_MD_CTX* hash = EVP_MD_CTX_new();
    bool hashed = hash && EVP_DigestInit_ex(hash, EVP_sha512(), nullptr) == 1;
    qint64 length = 0;
    char buffer[1 << 16];
    for (ssize_t n; hashed && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || EVP_DigestUpdate(hash, buffer, std::size_t(n)) != 1)
            hashed = false;
        else
            length += n;
    }
    ::close(fd);
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned digestSize = 0;
    hashed = hashed && EVP_DigestFinal_ex(hash, reinterpret_cast<uchar*>(digest.data()), &digestSize) == 1;
    EVP_MD_CTX_free(hash);
    if (!hashed)
        return unreadable(QStringLiteral("reading or hashing it failed"));
    digest.truncate(qsizetype(digestSize));
    const QByteArray message = signedMessage(item, length, digest);

    bool valid = false;
    EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                 reinterpret_cast<const uchar*>(key.constData()), key.size());
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (pkey && context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey) == 1)
        valid = EVP_DigestVerify(context, reinterpret_cast<const uchar*>(signature.constData()), signature.size(),
                                 reinterpret_cast<const uchar*>(message.constData()), std::size_t(message.size())) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(pkey);
    if (!valid)
        return QStringLiteral("The package's signature does not match: it was altered, is not the release %1 "
                              "named \"%2\" the feed announces, or was not signed by Overlook's developers.")
            .arg(item.displayVersion, item.enclosureURL.fileName());
    return std::nullopt;
}

QString safeFileName(const QString& wanted) {
    // Only a plain name: the feed must not choose where the file goes.
    QString name = wanted.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    name.removeIf([](QChar c) { return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format; });
    while (name.contains(QLatin1String("..")))
        name.replace(QLatin1String(".."), QLatin1String("."));
    while (!name.isEmpty() && (name.front() == QLatin1Char('.') || name.front().isSpace()))
        name.remove(0, 1);
    name = name.trimmed().left(200);
    return name.isEmpty() ? QStringLiteral("overlook-update") : name;
}

QString unusedFilePath(const QString& folder, const QString& wanted) {
    const QString name = safeFileName(wanted);
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

namespace {

// Packages are written under a hidden name, private to the user, and get their
// name only once verified: a download cut short never looks like the package.
constexpr const char* kTemporaryPrefix = ".overlook-update-";
constexpr const char* kTemporarySuffix = ".part";
constexpr qint64 kStaleTemporarySeconds = 24 * 3600;

void removeStaleTemporaries(const QString& folder) {
    const QDir dir(folder);
    const QDateTime old = QDateTime::currentDateTimeUtc().addSecs(-kStaleTemporarySeconds);
    for (const QFileInfo& info :
         dir.entryInfoList({QString::fromLatin1(kTemporaryPrefix) + '*' + QString::fromLatin1(kTemporarySuffix)},
                           QDir::Files | QDir::Hidden | QDir::NoSymLinks))
        if (info.lastModified().toUTC() < old && QFile::remove(info.filePath()))
            log().info("Update download: removed %s, left by a download that did not finish",
                       qPrintable(info.filePath()));
}

// Moves the verified temporary file to a free name in `folder`, never over a file.
std::optional<QString> moveIntoPlace(const QString& temporary, const QString& folder, const QString& wanted,
                                     QString* error) {
    const QByteArray from = QFile::encodeName(temporary);
    for (int attempt = 0; attempt < 20; ++attempt) {
        const QString target = unusedFilePath(folder, wanted);
        const QByteArray to = QFile::encodeName(target);
        int result = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (result != 0 && errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: a hard link fails on an existing name too.
            result = ::link(from.constData(), to.constData());
            if (result == 0)
                ::unlink(from.constData());
        }
        if (result == 0)
            return target;
        if (errno != EEXIST) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return std::nullopt;
        }
    }
    *error = QStringLiteral("no free file name");
    return std::nullopt;
}

} // namespace

UpdateDownloader::UpdateDownloader(QNetworkAccessManager& network, QObject* parent)
    : QObject(parent), network_(network), publicKey_(builtInUpdatePublicKey()) {}

UpdateDownloader::~UpdateDownloader() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
    if (file_)
        QFile::remove(temporaryPath_);
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
    if (!runningVersion_.isEmpty() && compareVersions(item.version, runningVersion_) <= 0) {
        fail(item, QStringLiteral("Version %1 was not downloaded: it is not newer than this copy of Overlook (%2).")
                       .arg(item.displayVersion, runningVersion_));
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
    removeStaleTemporaries(folder);
    QByteArray pattern = QFile::encodeName(QDir(folder).filePath(QString::fromLatin1(kTemporaryPrefix))) + "XXXXXX" +
                         kTemporarySuffix;
    const int fd = ::mkostemps(pattern.data(), int(std::strlen(kTemporarySuffix)), O_CLOEXEC); // mode 0600
    const int openError = fd < 0 ? errno : EIO;
    auto file = std::make_unique<QFile>();
    if (fd < 0 || !file->open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(pattern.constData());
        }
        fail(item, QStringLiteral("Cannot write the update into %1: %2")
                       .arg(folder, QString::fromLocal8Bit(std::strerror(openError))));
        return true;
    }
    item_ = item;
    file_ = std::move(file);
    temporaryPath_ = QFile::decodeName(pattern);
    limit_ = item.enclosureLength > 0 ? item.enclosureLength : kMaximumBytesWithoutLength;
    received_ = 0;
    refusal_.clear();

    QNetworkRequest request(item.enclosureURL);
    request.setTransferTimeout(transferTimeoutMs_);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    QNetworkReply* reply = network_.get(request);
    reply_ = reply;
    connect(reply, &QNetworkReply::redirected, this, [this, reply](const QUrl& to) {
        if (auto refused = refusedRedirect(reply->url(), to))
            return refuse(*refused);
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
               qPrintable(temporaryPath_));
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
        return refuse(QStringLiteral("Cannot write the update to %1: %2").arg(temporaryPath_, file_->errorString()));
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
    const QString path = temporaryPath_;
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
        if (auto refused = refusedSignature(path, item_, publicKey_))
            error = QStringLiteral("The download of version %1 was deleted. %2").arg(item_.displayVersion, *refused);

    std::optional<QString> kept;
    if (error.isEmpty()) {
        QString why;
        kept = moveIntoPlace(path, folder(), item_.enclosureURL.fileName(), &why);
        if (!kept)
            error = QStringLiteral("Cannot put the verified update into %1: %2").arg(folder(), why);
    }

    DownloadResult result;
    result.item = item_;
    if (kept) {
        result.path = *kept;
        log().info("Update download: %s verified", qPrintable(*kept));
    } else {
        QFile::remove(path);
        result.error = error;
        log().error("Update download: %s", qPrintable(error));
    }
    Q_EMIT finished(result);
}

} // namespace overlook::updates
