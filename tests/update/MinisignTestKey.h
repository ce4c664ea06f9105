#pragma once

#include <QByteArray>
#include <sodium.h>

// A publisher's key made for one test, signing the way "minisign -S" does,
// so that tests can also make signatures minisign never would.
class TMinisignTestKey {
public:
    TMinisignTestKey() {
        if (sodium_init() < 0)
            return;
        crypto_sign_keypair(FPublic, FSecret);
        randombytes_buf(FKeyId, sizeof FKeyId);
    }

    // The text of the ".pub" file.
    QByteArray PublicKeyText() const {
        const QByteArray bytes = QByteArray("Ed") + Bytes(FKeyId, 8) + Bytes(FPublic, 32);
        return "untrusted comment: minisign public key\n" + bytes.toBase64() + "\n";
    }

    // The text of the ".minisig" file; prehashed ("ED") unless legacy.
    QByteArray Sign(const QByteArray& content, const QByteArray& trustedComment = "timestamp:1",
                    bool legacy = false) const {
        QByteArray message = content;
        if (!legacy) {
            unsigned char hash[crypto_generichash_BYTES_MAX];
            crypto_generichash(hash, sizeof hash, Raw(content), content.size(), nullptr, 0);
            message = Bytes(hash, sizeof hash);
        }
        const QByteArray signature = Detached(message);
        const QByteArray global = Detached(signature + trustedComment);
        return "untrusted comment: signature from minisign secret key\n" +
               (QByteArray(legacy ? "Ed" : "ED") + Bytes(FKeyId, 8) + signature).toBase64() +
               "\ntrusted comment: " + trustedComment + "\n" + global.toBase64() + "\n";
    }

private:
    static QByteArray Bytes(const unsigned char* data, int size) {
        return QByteArray(reinterpret_cast<const char*>(data), size);
    }
    static const unsigned char* Raw(const QByteArray& bytes) {
        return reinterpret_cast<const unsigned char*>(bytes.constData());
    }
    QByteArray Detached(const QByteArray& message) const {
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr, Raw(message), message.size(), FSecret);
        return Bytes(signature, sizeof signature);
    }

    unsigned char FPublic[crypto_sign_PUBLICKEYBYTES]{};
    unsigned char FSecret[crypto_sign_SECRETKEYBYTES]{};
    unsigned char FKeyId[8]{};
};
