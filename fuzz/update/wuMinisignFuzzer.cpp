#include "wuMinisign.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Any text as a signature file and as a public key: parsing never fails
// unsafely, and what parses reads back the same fields from its own lines.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const auto signature = TwuMinisignSignature::Parse(text)) {
        if (signature->TrustedComment.contains('\n'))
            std::abort();
    }
    if (const auto key = TwuMinisignPublicKey::Parse(text)) {
        const QByteArray line =
            (QByteArray("Ed") + QByteArray(reinterpret_cast<const char*>(key->KeyId.data()), 8) +
             QByteArray(reinterpret_cast<const char*>(key->Key.data()), 32))
                .toBase64();
        const auto again = TwuMinisignPublicKey::Parse(line);
        if (!again || again->Key != key->Key || again->KeyId != key->KeyId)
            std::abort();
    }
    return 0;
}
