#pragma once
// A fresh Ed25519 key pair per test, made with OpenSSL, that signs releases the way
// the release tooling does: the text naming the release (version, display version,
// file name, length, SHA-512 of the package), signature and public key in base64.
// The text is written out here as documented, not taken from the program.

#include <QByteArray>
#include <QCryptographicHash>

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace overlook::test {

class SigningKey {
public:
    SigningKey() {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY* key = nullptr;
        if (!context || EVP_PKEY_keygen_init(context) != 1 || EVP_PKEY_keygen(context, &key) != 1)
            throw std::runtime_error("cannot make an Ed25519 key");
        EVP_PKEY_CTX_free(context);
        key_.reset(key);
    }

    QByteArray publicKeyBase64() const {
        QByteArray raw(32, '\0');
        std::size_t size = raw.size();
        EVP_PKEY_get_raw_public_key(key_.get(), reinterpret_cast<unsigned char*>(raw.data()), &size);
        return raw.left(qsizetype(size)).toBase64();
    }

    QByteArray signBase64(const QByteArray& message) const {
        QByteArray signature(64, '\0');
        std::size_t size = signature.size();
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_.get());
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.constData()), std::size_t(message.size()));
        EVP_MD_CTX_free(context);
        return signature.left(qsizetype(size)).toBase64();
    }

    // The signature of `package` released as `version` under `fileName`.
    QByteArray signRelease(const QByteArray& package, const QByteArray& version, const QByteArray& fileName,
                           const QByteArray& displayVersion = {}) const {
        return signBase64("overlook-update-signature-v1\nversion " + version + "\ndisplay-version " +
                          (displayVersion.isEmpty() ? version : displayVersion) + "\nfile " + fileName +
                          "\nlength " + QByteArray::number(package.size()) + "\nsha512 " +
                          QCryptographicHash::hash(package, QCryptographicHash::Sha512).toHex() + "\n");
    }

private:
    struct Free {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    std::unique_ptr<EVP_PKEY, Free> key_;
};

} // namespace overlook::test
