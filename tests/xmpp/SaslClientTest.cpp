// SCRAM and PLAIN through GNU SASL, against the published test vectors.

#include "SaslClient.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <cstring>
#include <gtest/gtest.h>

// The library draws the client nonce from here; tests set the bytes so that the
// published exchanges can be replayed exactly. Empty: the library's own kind of
// random bytes are not needed by any test, zeros do.
static QByteArray NextNonce;

extern "C" int gsasl_nonce(char* data, size_t datalen) {
    std::memset(data, 0, datalen);
    std::memcpy(data, NextNonce.constData(), std::min(datalen, size_t(NextNonce.size())));
    return 0;
}

namespace {

// An independent SCRAM computation from Qt's primitives; checked against the
// published vectors below before it checks the client.
struct TScramReference {
    QCryptographicHash::Algorithm Hash;
    QByteArray Password, Salt, ClientFirstBare, ServerFirst, ClientFinalBare;
    int Iterations;

    QByteArray Hmac(const QByteArray& Key, const QByteArray& Data) const {
        return QMessageAuthenticationCode::hash(Data, Key, Hash);
    }
    QByteArray Salted() const {
        return QPasswordDigestor::deriveKeyPbkdf2(Hash, Password, Salt, Iterations,
                                                  QCryptographicHash::hashLength(Hash));
    }
    QByteArray AuthMessage() const {
        return ClientFirstBare + ',' + ServerFirst + ',' + ClientFinalBare;
    }
    QByteArray Proof() const {
        const QByteArray clientKey = Hmac(Salted(), "Client Key");
        const QByteArray signature = Hmac(QCryptographicHash::hash(clientKey, Hash), AuthMessage());
        QByteArray proof = clientKey;
        for (int i = 0; i < proof.size(); ++i)
            proof[i] = char(proof[i] ^ signature[i]);
        return proof.toBase64();
    }
    QByteArray ServerSignature() const {
        return Hmac(Hmac(Salted(), "Server Key"), AuthMessage()).toBase64();
    }
};

struct TVector {
    const char* Mechanism;
    QCryptographicHash::Algorithm Hash;
    QByteArray ClientNonce, ServerFirst, ClientFinal, ServerFinal, Salt;
};

// RFC 5802 section 5 and RFC 7677 section 3; user "user", password "pencil".
const TVector Rfc5802{
    "SCRAM-SHA-1",
    QCryptographicHash::Sha1,
    "fyko+d2lbbFgONRv9qkxdawL",
    "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
    "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
    "v=rmF9pqV8S7suAoZWja4dJRkFsKQ=",
    "QSXCR+Q6sek8bf92"};
const TVector Rfc7677{
    "SCRAM-SHA-256",
    QCryptographicHash::Sha256,
    "rOprNGfwEbeRWgbNEkqO",
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+"
    "Ute9ytag9zjfMHgsqmmiz7AndVQ=",
    "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=",
    "W22ZaJ0SNY7soEsUEjb6gQ=="};

TScramReference ReferenceFor(const TVector& V, const QByteArray& ClientNonce,
                             const QByteArray& ServerFirst) {
    const QByteArray nonce = ServerFirst.mid(2, ServerFirst.indexOf(',') - 2);
    return {V.Hash,
            "pencil",
            QByteArray::fromBase64(V.Salt),
            "n=user,r=" + ClientNonce,
            ServerFirst,
            "c=biws,r=" + nonce,
            4096};
}

TEST(ScramReference, ReproducesThePublishedVectors) {
    for (const TVector* v : {&Rfc5802, &Rfc7677}) {
        SCOPED_TRACE(v->Mechanism);
        const TScramReference ref = ReferenceFor(*v, v->ClientNonce, v->ServerFirst);
        EXPECT_EQ(ref.ClientFinalBare + ",p=" + ref.Proof(), v->ClientFinal);
        EXPECT_EQ("v=" + ref.ServerSignature(), v->ServerFinal);
    }
}

TEST(SaslClient, ReplaysTheScramSha1Vector) {
    NextNonce = QByteArray::fromBase64(Rfc5802.ClientNonce);
    TSaslClient client(QStringLiteral("SCRAM-SHA-1"), QStringLiteral("user"),
                       QStringLiteral("pencil"));
    EXPECT_EQ(client.Start().value_or("none"), "n,,n=user,r=" + Rfc5802.ClientNonce);
    EXPECT_EQ(client.Step(Rfc5802.ServerFirst).value_or("none"), Rfc5802.ClientFinal);
    EXPECT_TRUE(client.Finish(Rfc5802.ServerFinal));
}

// The SHA-256 vector's nonce is shorter than the ones the library draws, so the
// exchange runs with a drawn nonce and the vector's salt, count and password, and is
// checked by the reference computation.
TEST(SaslClient, ScramSha256MatchesTheReference) {
    NextNonce = QByteArray(18, '\x5a');
    const QByteArray clientNonce = NextNonce.toBase64();
    TSaslClient client(QStringLiteral("SCRAM-SHA-256"), QStringLiteral("user"),
                       QStringLiteral("pencil"));
    EXPECT_EQ(client.Start().value_or("none"), "n,,n=user,r=" + clientNonce);
    const QByteArray serverFirst = "r=" + clientNonce + "%hvYDpWUa2,s=" + Rfc7677.Salt + ",i=4096";
    const TScramReference ref = ReferenceFor(Rfc7677, clientNonce, serverFirst);
    EXPECT_EQ(client.Step(serverFirst).value_or("none"), ref.ClientFinalBare + ",p=" + ref.Proof());
    EXPECT_TRUE(client.Finish("v=" + ref.ServerSignature()));
}

// A login again with the same password, salt and count may reuse the salted password
// of the last one; any change of the three must derive it anew.
TEST(SaslClient, KeptSaltedPasswordServesOnlyTheSameLogin) {
    const struct {
        QByteArray Password, Salt;
        int Iterations;
    } logins[] = {
        {"pencil", Rfc5802.Salt, 4096},   {"pencil2", Rfc5802.Salt, 4096},
        {"pencil", Rfc5802.Salt, 4096},   {"pencil", "c2FsdHNhbHQ=", 4096},
        {"pencil", "c2FsdHNhbHQ=", 4097},
    };
    for (const auto& login : logins) {
        SCOPED_TRACE(
            (login.Password + ' ' + login.Salt + ' ' + QByteArray::number(login.Iterations))
                .toStdString());
        NextNonce = QByteArray::fromBase64(Rfc5802.ClientNonce);
        TSaslClient client(QStringLiteral("SCRAM-SHA-1"), QStringLiteral("user"),
                           QString::fromUtf8(login.Password));
        ASSERT_TRUE(client.Start());
        const QByteArray serverFirst = "r=" + Rfc5802.ClientNonce +
                                       "3rfcNHYJY1ZVvWVs7j,s=" + login.Salt +
                                       ",i=" + QByteArray::number(login.Iterations);
        TScramReference ref = ReferenceFor(Rfc5802, Rfc5802.ClientNonce, serverFirst);
        ref.Password = login.Password;
        ref.Salt = QByteArray::fromBase64(login.Salt);
        ref.Iterations = login.Iterations;
        EXPECT_EQ(client.Step(serverFirst).value_or("none"),
                  ref.ClientFinalBare + ",p=" + ref.Proof());
        EXPECT_TRUE(client.Finish("v=" + ref.ServerSignature()));
    }
}

TEST(SaslClient, ServerProofIsRequired) {
    struct TCase {
        const char* Name;
        QByteArray Final; // given to Finish; empty = bare success
    } cases[] = {
        {"wrong signature", "v=AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
        {"bare success", ""},
        {"server error", "e=other-error"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        NextNonce = QByteArray::fromBase64(Rfc5802.ClientNonce);
        TSaslClient client(QStringLiteral("SCRAM-SHA-1"), QStringLiteral("user"),
                           QStringLiteral("pencil"));
        ASSERT_TRUE(client.Start());
        ASSERT_TRUE(client.Step(Rfc5802.ServerFirst));
        EXPECT_FALSE(client.Finish(c.Final));
    }
}

TEST(SaslClient, ServerFinalAsChallengeThenBareSuccess) {
    NextNonce = QByteArray::fromBase64(Rfc5802.ClientNonce);
    TSaslClient client(QStringLiteral("SCRAM-SHA-1"), QStringLiteral("user"),
                       QStringLiteral("pencil"));
    ASSERT_TRUE(client.Start());
    ASSERT_TRUE(client.Step(Rfc5802.ServerFirst));
    EXPECT_EQ(client.Step(Rfc5802.ServerFinal).value_or("none"), QByteArray());
    EXPECT_TRUE(client.Finish({}));
}

TEST(SaslClient, ServerFirstThatDoesNotContinueOurNonceIsRefused) {
    NextNonce = QByteArray(18, '\x01');
    TSaslClient client(QStringLiteral("SCRAM-SHA-1"), QStringLiteral("user"),
                       QStringLiteral("pencil"));
    ASSERT_TRUE(client.Start());
    EXPECT_FALSE(client.Step(Rfc5802.ServerFirst));
    EXPECT_FALSE(client.Step("garbage"));
}

TEST(SaslClient, ServerFirstAskingForEndlessRoundsIsRefused) {
    NextNonce = QByteArray::fromBase64(Rfc5802.ClientNonce);
    TSaslClient client(QStringLiteral("SCRAM-SHA-1"), QStringLiteral("user"),
                       QStringLiteral("pencil"));
    ASSERT_TRUE(client.Start());
    QByteArray greedy = Rfc5802.ServerFirst;
    greedy.replace("i=4096", "i=2000000000");
    EXPECT_FALSE(client.Step(greedy));
}

TEST(SaslClient, PlainIsOneInitialResponseWithSaslprep) {
    TSaslClient client(QStringLiteral("PLAIN"), QStringLiteral("420111111111"),
                       QStringLiteral("I\u00ADX")); // soft hyphen is mapped to nothing
    EXPECT_EQ(client.Start().value_or("none"), QByteArray("\0"
                                                          "420111111111\0"
                                                          "IX",
                                                          16));
    EXPECT_TRUE(client.Finish({}));
}

TEST(SaslClient, PasswordThatSaslprepRefusesDoesNotStart) {
    TSaslClient client(QStringLiteral("SCRAM-SHA-256"), QStringLiteral("user"),
                       QStringLiteral("bell\u0007"));
    EXPECT_FALSE(client.Start());
    EXPECT_FALSE(client.Error().isEmpty());
}

TEST(SaslClient, ScramEscapesTheUserName) {
    NextNonce = QByteArray(18, '\0');
    TSaslClient client(QStringLiteral("SCRAM-SHA-256"), QStringLiteral("a,b=c"),
                       QStringLiteral("x"));
    EXPECT_TRUE(client.Start().value_or("none").startsWith("n,,n=a=2Cb=3Dc,r="));
}

TEST(ChooseSaslMechanism, StrongestOfferedAndPlainOnlyEncrypted) {
    const struct {
        QStringList Offered;
        bool Encrypted;
        const char* Chosen;
    } cases[] = {
        {{"PLAIN", "DIGEST-MD5", "SCRAM-SHA-1", "SCRAM-SHA-256"}, false, "SCRAM-SHA-256"},
        {{"plain", "scram-sha-1"}, false, "SCRAM-SHA-1"},
        {{"PLAIN", "DIGEST-MD5"}, true, "DIGEST-MD5"},
        {{"PLAIN", "X-OAUTH2"}, true, "PLAIN"},
        {{"PLAIN", "X-OAUTH2"}, false, ""},
        {{"SCRAM-SHA-1-PLUS", "EXTERNAL"}, true, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseSaslMechanism(c.Offered, c.Encrypted), QString::fromLatin1(c.Chosen))
            << c.Offered.join(u' ').toStdString();
}

} // namespace
