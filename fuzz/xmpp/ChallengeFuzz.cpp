// Arbitrary challenges through the DIGEST-MD5 answer: the input as the Base64 text
// of a challenge element, and Base64-encoded so that the decoded challenge is
// arbitrary; the password is taken from the input as well.

#include "DigestMd5.h"
#include "Jabber.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

class TFuzzClient : public TJabberClient {
public:
    using TJabberClient::DigestResponse;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider input(Data, Size);
    TFuzzClient client;
    client.SetPassword(QString::fromUtf8(input.ConsumeRandomLengthString(64)));
    const std::string rest = input.ConsumeRemainingBytesAsString();
    const QByteArray raw(rest.data(), qsizetype(rest.size()));

    const QString asText = client.DigestResponse(QString::fromLatin1(raw));
    const QString encoded = client.DigestResponse(QString::fromLatin1(raw.toBase64()));
    const TDirectiveList directives = ParseChallenge(QString::fromLatin1(raw));

    // An answer is Base64 of an answer text, or empty for an rspauth challenge.
    if (!raw.startsWith("rspauth") && encoded.isEmpty())
        __builtin_trap();
    const QByteArray answer = QByteArray::fromBase64(encoded.toLatin1());
    if (!encoded.isEmpty() && !answer.startsWith("username=\""))
        __builtin_trap();
    return int(asText.size() + directives.Items().size()) < 0;
}
