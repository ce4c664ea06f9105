// The TLS engine against an in-process OpenSSL server, byte for byte through memory:
// certificate checks with their Czech reasons, pinning, the protocol floor, and plain
// text both ways once the handshake is done.

#include "TlsEngine.h"

#include "TestCertificates.h"

#include <QFile>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

namespace {

// The server end, with the certificate and key files given.
class TTestServer {
public:
    TTestServer(const QString& Cert, const QString& Key, int MaxVersion = 0) {
        FContext = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(FContext, Cert.toLocal8Bit().constData());
        SSL_CTX_use_PrivateKey_file(FContext, Key.toLocal8Bit().constData(), SSL_FILETYPE_PEM);
        if (MaxVersion) {
            SSL_CTX_set_min_proto_version(FContext, 0);
            SSL_CTX_set_max_proto_version(FContext, MaxVersion);
            SSL_CTX_set_security_level(FContext, 0);
        }
        FSsl = SSL_new(FContext);
        FIn = BIO_new(BIO_s_mem());
        FOut = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(FIn, -1);
        SSL_set_bio(FSsl, FIn, FOut);
        SSL_set_accept_state(FSsl);
    }
    ~TTestServer() {
        SSL_free(FSsl);
        SSL_CTX_free(FContext);
    }

    void Feed(const QByteArray& Bytes) { BIO_write(FIn, Bytes.constData(), int(Bytes.size())); }
    QByteArray Take() {
        char* data = nullptr;
        const long length = BIO_get_mem_data(FOut, &data);
        QByteArray bytes(data, int(length));
        (void)BIO_reset(FOut);
        return bytes;
    }
    void Step() { SSL_do_handshake(FSsl); }
    void Write(const QByteArray& Plain) { SSL_write(FSsl, Plain.constData(), int(Plain.size())); }
    QByteArray Read() {
        char buffer[4096];
        const int got = SSL_read(FSsl, buffer, sizeof buffer);
        return got > 0 ? QByteArray(buffer, got) : QByteArray();
    }
    void Shutdown() { SSL_shutdown(FSsl); }

private:
    SSL_CTX* FContext;
    SSL* FSsl;
    BIO* FIn;
    BIO* FOut;
};

// All the client's pending output, taken as the socket worker sends it.
QByteArray Take(TTlsEngine& Client) {
    size_t length = 0;
    const char* out = Client.Output(length);
    const QByteArray bytes(out, qsizetype(length));
    Client.Sent(length);
    return bytes;
}

// The plain text the fed bytes decrypt to, read in small pieces so that the rest is
// seen to wait for the next call.
QByteArray Read(TTlsEngine& Client) {
    QByteArray plain;
    char piece[4];
    while (const size_t got = Client.ReadPlain(piece, sizeof piece))
        plain.append(piece, qsizetype(got));
    return plain;
}

// Passes bytes between the two ends until the client's handshake settles; bounded.
TTlsEngine::TState RunHandshake(TTlsEngine& Client, TTestServer& Server) {
    for (int round = 0; round < 20; ++round) {
        const TTlsEngine::TState state = Client.Handshake();
        Server.Feed(Take(Client));
        if (state != TTlsEngine::TState::Handshaking)
            return state;
        Server.Step();
        const QByteArray reply = Server.Take();
        Client.Feed(reply.constData(), size_t(reply.size()));
    }
    return Client.State();
}

class TlsEngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Certs = new TTestCertificates(); }
    static void TearDownTestSuite() {
        delete Certs;
        Certs = nullptr;
    }
    static TTestCertificates* Certs;
};
TTestCertificates* TlsEngineTest::Certs = nullptr;

TEST_F(TlsEngineTest, TrustedCertificateCarriesPlainTextBothWays) {
    ASSERT_TRUE(Certs->Ok()) << Certs->Error().toStdString();
    TTlsEngine client({QStringLiteral("localhost"), Certs->Path("ca.pem"), {}});
    TTestServer server(Certs->Path("server.pem"), Certs->Path("server.key"));
    ASSERT_EQ(RunHandshake(client, server), TTlsEngine::TState::Ready)
        << client.FailureReason().toStdString();
    EXPECT_TRUE(client.Protocol() == u"TLSv1.3" || client.Protocol() == u"TLSv1.2");

    client.WritePlain("<stream:stream>", 15);
    server.Feed(Take(client));
    EXPECT_EQ(server.Read(), QByteArray("<stream:stream>"));

    server.Write("<proceed/>");
    const QByteArray records = server.Take();
    // Fed in two pieces, as TCP may deliver it.
    client.Feed(records.constData(), 3);
    const QByteArray first = Read(client);
    client.Feed(records.constData() + 3, size_t(records.size() - 3));
    EXPECT_EQ(first + Read(client), QByteArray("<proceed/>"));

    server.Shutdown();
    const QByteArray close = server.Take();
    client.Feed(close.constData(), size_t(close.size()));
    EXPECT_TRUE(Read(client).isEmpty());
    EXPECT_EQ(client.State(), TTlsEngine::TState::Closed);
}

TEST_F(TlsEngineTest, RefusedCertificatesNameTheReasonInCzech) {
    ASSERT_TRUE(Certs->Ok()) << Certs->Error().toStdString();
    const QByteArray pinned = TTlsEngine::ParseFingerprint(Certs->Fingerprint());
    struct TCase {
        const char* Name;
        QString Cert;
        QString CaFile;
        QByteArray Fingerprint;
        QString Reason; // empty: accepted
    } cases[] = {
        {"issued by the ca", "server", Certs->Path("ca.pem"), {}, {}},
        {"private ca not trusted by the system", "server", {}, {}, "neznámý vydavatel"},
        {"another name",
         "other",
         Certs->Path("ca.pem"),
         {},
         "certifikát patří jinému jménu než localhost"},
        {"self-signed", "stranger", Certs->Path("ca.pem"), {}, "neznámý vydavatel"},
        {"expired", "expired", Certs->Path("ca.pem"), {}, "platnost certifikátu vypršela"},
        {"pinned, no ca", "server", {}, pinned, {}},
        {"pin wins over name and issuer",
         "other",
         {},
         TTlsEngine::ParseFingerprint(Certs->FingerprintOf("other")),
         {}},
        {"pin of another certificate", "stranger", Certs->Path("ca.pem"), pinned,
         "otisk certifikátu nesouhlasí s nastaveným"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTlsEngine client({QStringLiteral("localhost"), c.CaFile, c.Fingerprint});
        TTestServer server(Certs->Path(c.Cert + ".pem"), Certs->Path(c.Cert + ".key"));
        const TTlsEngine::TState state = RunHandshake(client, server);
        if (c.Reason.isEmpty()) {
            EXPECT_EQ(state, TTlsEngine::TState::Ready) << client.FailureReason().toStdString();
            continue;
        }
        EXPECT_EQ(state, TTlsEngine::TState::Failed);
        EXPECT_EQ(client.FailureReason(), "Certifikát serveru není důvěryhodný: " + c.Reason);
        // Nothing of the application can leave a refused connection.
        client.WritePlain("secret", 6);
        const QByteArray out = Take(client);
        EXPECT_FALSE(out.contains("secret"));
    }
}

// Connections share what they trust, but an issuer file changed on disk is read again.
TEST_F(TlsEngineTest, ChangedIssuerFileIsReadAgain) {
    ASSERT_TRUE(Certs->Ok()) << Certs->Error().toStdString();
    const QString trust = Certs->Path("trust.pem");
    for (const char* issuers : {"ca.pem", "stranger.pem", "ca.pem"}) {
        SCOPED_TRACE(issuers);
        QFile::remove(trust);
        ASSERT_TRUE(QFile::copy(Certs->Path(issuers), trust));
        TTlsEngine client({QStringLiteral("localhost"), trust, {}});
        TTestServer server(Certs->Path("stranger.pem"), Certs->Path("stranger.key"));
        EXPECT_EQ(RunHandshake(client, server), std::string(issuers) == "stranger.pem"
                                                    ? TTlsEngine::TState::Ready
                                                    : TTlsEngine::TState::Failed);
    }
}

TEST_F(TlsEngineTest, ServerOlderThanTls12IsRefused) {
    ASSERT_TRUE(Certs->Ok()) << Certs->Error().toStdString();
    TTlsEngine client({QStringLiteral("localhost"), Certs->Path("ca.pem"), {}});
    TTestServer server(Certs->Path("server.pem"), Certs->Path("server.key"), TLS1_1_VERSION);
    EXPECT_EQ(RunHandshake(client, server), TTlsEngine::TState::Failed);
    EXPECT_TRUE(client.FailureReason().startsWith(u"Šifrované spojení se nepodařilo navázat"))
        << client.FailureReason().toStdString();
}

TEST_F(TlsEngineTest, UnreadableCaFileFailsBeforeAnyByte) {
    TTlsEngine client({QStringLiteral("localhost"), QStringLiteral("/nonexistent/ca.pem"), {}});
    EXPECT_EQ(client.Handshake(), TTlsEngine::TState::Failed);
    EXPECT_TRUE(Take(client).isEmpty());
    EXPECT_EQ(client.FailureReason(),
              u"Soubor s důvěryhodnými certifikáty nelze načíst: /nonexistent/ca.pem");
}

TEST(TlsFingerprint, AcceptsHexWithOrWithoutColons) {
    const QByteArray expected = QByteArray::fromHex(QByteArray(64, 'a'));
    EXPECT_EQ(TTlsEngine::ParseFingerprint(QString(64, u'A')), expected);
    QString colons;
    for (int i = 0; i < 32; ++i)
        colons += QString::fromLatin1(i ? ":aa" : "aa");
    EXPECT_EQ(TTlsEngine::ParseFingerprint(colons), expected);
    EXPECT_TRUE(TTlsEngine::ParseFingerprint(QString(62, u'a')).isEmpty());
    EXPECT_TRUE(TTlsEngine::ParseFingerprint(QString(63, u'a') + u'g').isEmpty());
    EXPECT_TRUE(TTlsEngine::ParseFingerprint(QString(63, u'a') + QChar(0x0661)).isEmpty());
}

} // namespace
