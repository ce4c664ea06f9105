// Arbitrary challenges through the DIGEST-MD5 answer: the input as the Base64 text
// of a challenge element, and Base64-encoded so that the decoded challenge is
// arbitrary; the password is taken from the input as well. The same bytes go to the
// SCRAM client as the server-first message, and as the server-final one.

#include "DigestMd5.h"
#include "Jabber.h"
#include "SaslClient.h"

#include <QByteArray>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

// The SCRAM client's nonce is all zeros here ("AAAA…" in Base64), so that inputs
// can continue it and reach the proof and the signature check.
extern "C" int gsasl_nonce(char* data, size_t datalen) {
    std::fill_n(data, datalen, '\0');
    return 0;
}

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
    for (const char* mechanism : {"SCRAM-SHA-1", "SCRAM-SHA-256"}) {
        TSaslClient scram(QString::fromLatin1(mechanism), QStringLiteral("user"),
                          client.Password());
        if (!scram.Start())
            continue; // a password that SASLprep refuses
        const std::optional<QByteArray> final = scram.Step(raw);
        // A proof can follow only a server nonce that continues ours.
        if (final && !final->startsWith("c=biws,r="))
            __builtin_trap();
        if (final && scram.Finish(raw))
            __builtin_trap(); // the server-first bytes cannot also be the right signature
    }
    return int(asText.size() + directives.Items().size()) < 0;
}
