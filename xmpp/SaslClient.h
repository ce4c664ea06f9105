#pragma once

// The SASL mechanisms that GNU SASL runs for the client: SCRAM-SHA-256 and SCRAM-SHA-1
// (RFC 5802, 7677; the server's signature is verified) and PLAIN (RFC 4616), with
// SASLprep of the credentials. DIGEST-MD5 is not here: it stays the client's own code.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

struct Gsasl_session;
struct TScramSecret;

class TSaslClient {
public:
    // A server-first message asking for more key-derivation rounds than this is
    // refused: the rounds run on the GUI thread, and a hostile server could ask for
    // billions.
    static constexpr qint64 MaxScramIterations = 600000;

    // The mechanism names this class runs, strongest first.
    static const QStringList& Mechanisms();

    TSaslClient(const QString& Mechanism, const QString& User, const QString& Password);
    ~TSaslClient();
    TSaslClient(const TSaslClient&) = delete;
    TSaslClient& operator=(const TSaslClient&) = delete;

    // The initial response (raw bytes), or nothing when the mechanism cannot start.
    std::optional<QByteArray> Start();
    // The answer to a server challenge (raw bytes), or nothing when the challenge is
    // malformed, does not continue this exchange, or fails the server's proof.
    std::optional<QByteArray> Step(const QByteArray& Challenge);
    // Whether the exchange ends with the server proven: for SCRAM the server's final
    // message (as the additional data of success, or as a challenge answered before)
    // must carry the right signature; PLAIN proves nothing and needs none.
    bool Finish(const QByteArray& AdditionalData);
    // What went wrong, from the library; empty while nothing did.
    QString Error() const { return FError; }

private:
    std::optional<QByteArray> Run(const QByteArray& Input, bool First);
    static bool TooManyIterations(const QByteArray& ServerFirst);

    Gsasl_session* FSession = nullptr;
    std::unique_ptr<TScramSecret> FSecret; // the session's hook for SCRAM
    bool FDone = false;
    bool FScram = false;
    QString FError;
};

// The mechanism to use among the offered ones (names compared without regard to
// case): SCRAM-SHA-256, SCRAM-SHA-1, DIGEST-MD5, then PLAIN, which reveals the
// password and is taken only over an encrypted stream. Empty when none fits.
QString ChooseSaslMechanism(const QStringList& Offered, bool Encrypted);
