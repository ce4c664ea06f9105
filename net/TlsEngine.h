#pragma once

// One TLS client connection (OpenSSL 3) that does no I/O of its own: the socket
// worker feeds it the bytes it receives, sends what it produces, and reads and writes
// plain text through it. So it fits the worker's one poll loop and never blocks.
//
// The server's certificate is checked during the handshake, before any application
// byte can be written: either the chain against the system trust store (plus an
// optional PEM file of issuers) and the name against the XMPP domain, or, when a
// SHA-256 fingerprint is pinned, the server certificate against that fingerprint
// alone. TLS 1.2 is the oldest version offered.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <memory>

// Bytes in order, appended at the end and taken from the front. The room of what was
// taken is used again, so a steady stream allocates nothing.
class TByteQueue {
public:
    // Room for Length more bytes at the end; Added says how many were written there.
    char* Space(size_t Length);
    void Added(size_t Length) { FEnd += Length; }
    void Append(const char* Data, size_t Length);
    const char* Data() const { return FBuf.get() + FBegin; }
    size_t Size() const { return FEnd - FBegin; }
    // Drops Length bytes from the front.
    void Take(size_t Length);

private:
    std::unique_ptr<char[]> FBuf;
    size_t FCapacity = 0;
    size_t FBegin = 0;
    size_t FEnd = 0;
};

struct TTlsSettings {
    // The reference identity: the domain part of the JID.
    QString Domain;
    // A PEM file of trusted issuers added to the system store; empty for none.
    QString CaFile;
    // The SHA-256 digest (32 bytes) of the server certificate; empty for none.
    QByteArray Fingerprint;
};

class TTlsEngine {
public:
    enum class TState { Handshaking, Ready, Failed, Closed };

    explicit TTlsEngine(const TTlsSettings& Settings);
    ~TTlsEngine();
    TTlsEngine(const TTlsEngine&) = delete;
    TTlsEngine& operator=(const TTlsEngine&) = delete;

    // Hands over bytes received from the peer.
    void Feed(const char* Data, size_t Length);
    // Room for Length bytes to be received straight into the engine, handed over with
    // Fed (at most Length) before any other call.
    char* FeedSpace(size_t Length);
    void Fed(size_t Length);
    // Moves the handshake on as far as the fed bytes allow; starts it on first call.
    TState Handshake();
    TState State() const { return FState; }
    // Ciphertext waiting to be sent to the peer: Length bytes at the result, valid
    // until the next call that feeds, reads, writes or marks output as sent.
    const char* Output(size_t& Length) const;
    // The first Length bytes of Output have been sent.
    void Sent(size_t Length);
    bool HasOutput() const;
    // Decrypts what the fed bytes hold into Data, at most Size bytes, and returns
    // their number (possibly 0); what does not fit stays for the next call. A close
    // alert or a broken record turns the state to Closed or Failed.
    size_t ReadPlain(char* Data, size_t Size);
    // Encrypts plain text; the records join Output. Only when Ready.
    void WritePlain(const char* Data, size_t Length);

    // Why the connection failed, in Czech, for the user; empty while it has not.
    QString FailureReason() const { return FFailure; }
    // The negotiated protocol, e.g. "TLSv1.3"; empty before the handshake is done.
    QString Protocol() const;

    // The 32 bytes of a fingerprint written as hexadecimal digits, optionally
    // separated by colons or blanks; empty when the text is not such a fingerprint.
    static QByteArray ParseFingerprint(const QString& Text);

private:
    struct TImpl;
    void Fail(const QString& Reason);
    QString VerifyFailure() const;

    std::unique_ptr<TImpl> FImpl;
    TState FState = TState::Handshaking;
    QString FFailure;
};
