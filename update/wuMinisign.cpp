#include "wuMinisign.h"

#include <QFile>
#include <QList>
#include <algorithm>
#include <sodium.h>

namespace {

constexpr qsizetype kKeySize = 2 + 8 + 32;
constexpr qsizetype kSignatureSize = 2 + 8 + 64;
const QByteArray kUntrusted = "untrusted comment:";
const QByteArray kTrusted = "trusted comment: ";

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::optional<QByteArray> Base64(const QByteArray& text, qsizetype size) {
    const auto decoded =
        QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

template <std::size_t N>
void Copy(std::array<std::uint8_t, N>& to, const QByteArray& from, qsizetype at) {
    std::copy_n(reinterpret_cast<const std::uint8_t*>(from.constData()) + at, N, to.begin());
}

// The lines of a small text file; a final CR of each is dropped.
QList<QByteArray> Lines(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool HashFile(const QString& path, unsigned char (&hash)[crypto_generichash_BYTES_MAX]) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sizeof hash);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(buffer.data(), buffer.size());
        if (read < 0)
            return false;
        if (read == 0)
            break;
        crypto_generichash_update(&state,
                                  reinterpret_cast<const unsigned char*>(buffer.constData()),
                                  static_cast<unsigned long long>(read));
    }
    crypto_generichash_final(&state, hash, sizeof hash);
    return true;
}

} // namespace

std::optional<TwuMinisignPublicKey> TwuMinisignPublicKey::Parse(const QByteArray& text) {
    QList<QByteArray> lines = Lines(text.trimmed());
    if (!lines.isEmpty() && lines.first().startsWith(kUntrusted))
        lines.removeFirst();
    if (lines.size() != 1)
        return std::nullopt;
    const std::optional<QByteArray> bytes = Base64(lines.first(), kKeySize);
    if (!bytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    TwuMinisignPublicKey key;
    Copy(key.KeyId, *bytes, 2);
    Copy(key.Key, *bytes, 10);
    return key;
}

std::optional<TwuMinisignSignature> TwuMinisignSignature::Parse(const QByteArray& text) {
    const QList<QByteArray> lines = Lines(text);
    if (lines.size() != 4 || !lines[0].startsWith(kUntrusted) || !lines[2].startsWith(kTrusted))
        return std::nullopt;
    const std::optional<QByteArray> bytes = Base64(lines[1], kSignatureSize);
    const std::optional<QByteArray> global = Base64(lines[3], 64);
    if (!bytes || !global)
        return std::nullopt;
    TwuMinisignSignature signature;
    if (bytes->startsWith("ED"))
        signature.Prehashed = true;
    else if (!bytes->startsWith("Ed"))
        return std::nullopt;
    Copy(signature.KeyId, *bytes, 2);
    Copy(signature.Signature, *bytes, 10);
    signature.TrustedComment = lines[2].mid(kTrusted.size());
    Copy(signature.GlobalSignature, *global, 0);
    return signature;
}

bool wuMinisignVerifyFile(const TwuMinisignPublicKey& key, const TwuMinisignSignature& signature,
                          const QString& path) {
    if (!SodiumReady() || key.KeyId != signature.KeyId)
        return false;
    bool valid = false;
    if (signature.Prehashed) {
        unsigned char hash[crypto_generichash_BYTES_MAX];
        valid =
            HashFile(path, hash) && crypto_sign_verify_detached(signature.Signature.data(), hash,
                                                                sizeof hash, key.Key.data()) == 0;
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray content = file.readAll();
        valid = crypto_sign_verify_detached(
                    signature.Signature.data(),
                    reinterpret_cast<const unsigned char*>(content.constData()),
                    static_cast<unsigned long long>(content.size()), key.Key.data()) == 0;
    }
    if (!valid)
        return false;
    // The trusted comment is signed together with the file's signature.
    QByteArray global(reinterpret_cast<const char*>(signature.Signature.data()),
                      qsizetype(signature.Signature.size()));
    global += signature.TrustedComment;
    return crypto_sign_verify_detached(signature.GlobalSignature.data(),
                                       reinterpret_cast<const unsigned char*>(global.constData()),
                                       static_cast<unsigned long long>(global.size()),
                                       key.Key.data()) == 0;
}
