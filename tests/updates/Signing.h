#pragma once
// Signs releases as the release tooling does; the signed text is written out here, not taken from the program.

#include <QByteArray>
#include <QCryptographicHash>

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace overlook::test {

class SigningKey {
public:
    SigningKey() {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
            EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
        EVP_PKEY* key = nullptr;
        if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &key) != 1)
            throw std::runtime_error("cannot make an Ed25519 key");
        key_.reset(key);
    }

    QByteArray publicKeyBase64() const {
        unsigned char raw[32];
        std::size_t size = sizeof raw;
        EVP_PKEY_get_raw_public_key(key_.get(), raw, &size);
        return QByteArray(reinterpret_cast<const char*>(raw), qsizetype(size)).toBase64();
    }

    QByteArray signRelease(const QByteArray& package, const QByteArray& version, const QByteArray& fileName) const {
        const QByteArray message = "overlook-update-signature-v1\nversion " + version + "\ndisplay-version " + version +
                                   "\nfile " + fileName + "\nlength " + QByteArray::number(package.size()) + "\nsha512 " +
                                   QCryptographicHash::hash(package, QCryptographicHash::Sha512).toHex() + "\n";
        unsigned char signature[64];
        std::size_t size = sizeof signature;
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get());
        EVP_DigestSign(context.get(), signature, &size, reinterpret_cast<const unsigned char*>(message.constData()),
                       std::size_t(message.size()));
        return QByteArray(reinterpret_cast<const char*>(signature), qsizetype(size)).toBase64();
    }

private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{nullptr, EVP_PKEY_free};
};

} // namespace overlook::test
