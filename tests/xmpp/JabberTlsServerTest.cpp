// The client against a real server that requires STARTTLS, with a certificate from a
// private CA: ejabberd set up as Debian ships it (SCRAM-hashed passwords, no
// DIGEST-MD5; tests/xmpp/ejabberd/start <dir> tls) or Prosody with
// c2s_require_encryption (tests/xmpp/prosody/start <dir>). The fixture writes the
// port, the accounts, the CA file, the certificate's fingerprint and the mechanism
// the server's store allows into $VELORA_TLS_SERVER_DIR/endpoint.

#include "JabberProbe.h"
#include "ScriptedPeer.h"

#include <QFile>
#include <QHash>
#include <gtest/gtest.h>

namespace {

class TlsServerTest : public testing::Test {
protected:
    void SetUp() override {
        QFile file(qEnvironmentVariable("VELORA_TLS_SERVER_DIR") + QStringLiteral("/endpoint"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly))
            << file.fileName().toStdString() << " is missing (the TLS ejabberd did not start)";
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                endpoint.insert(QString::fromUtf8(line.left(eq)),
                                QString::fromUtf8(line.mid(eq + 1)));
        }
    }

    std::unique_ptr<TJabberClient> Account(int N) {
        auto client = std::make_unique<TJabberClient>();
        client->SetJabberServer(QStringLiteral("127.0.0.1"));
        client->SetJabberPort(endpoint.value(QStringLiteral("port")).toUShort());
        client->SetJID(endpoint.value(QStringLiteral("user%1").arg(N)) + u'@' +
                       endpoint.value(QStringLiteral("domain")));
        client->SetPassword(endpoint.value(QStringLiteral("password%1").arg(N)));
        return client;
    }

    // Runs a login to its end: online, or refused in any way.
    static bool Settled(const TEventLog& Log, const TJabberClient& Client) {
        return Client.JabberOnline() || Log.Events.join(u'\n').contains(u"Error ");
    }

    QHash<QString, QString> endpoint;
};

TEST_F(TlsServerTest, ScramOverTlsWithTheCaLogsInAndReceivesACallRecord) {
    auto receiver = Account(1);
    auto sender = Account(2);
    receiver->SetCaFile(endpoint.value(QStringLiteral("ca")));
    sender->SetCaFile(endpoint.value(QStringLiteral("ca")));
    TEventLog log;
    log.Attach(*receiver);
    QStringList messages;
    receiver->OnMessage = [&](TJabberClient*, const QString& Text) {
        messages << Text;
    };
    receiver->Connect(1);
    sender->Connect(1);
    ASSERT_TRUE(RunUntil([&] { return Settled(log, *receiver) && sender->JabberOnline(); }, 30000))
        << log.Events.join(u'\n').toStdString();
    ASSERT_TRUE(receiver->JabberOnline()) << log.Events.join(u'\n').toStdString();
    EXPECT_TRUE(receiver->Encrypted());
    // The first thing sent after the opening header asks for TLS; the auth comes
    // only after the new stream, with the strongest mechanism.
    const QStringList sent = log.Events.filter(QStringLiteral("SendData "));
    ASSERT_GE(sent.size(), 3);
    EXPECT_EQ(sent[1], u"SendData <starttls xmlns=\"urn:ietf:params:xml:ns:xmpp-tls\"/>");
    EXPECT_TRUE(sent[2].startsWith(u"SendData <?xml")) << sent[2].toStdString();
    const QString mechanism = endpoint.value(QStringLiteral("mechanism"));
    EXPECT_TRUE(sent[3].contains(QStringLiteral("mechanism=\"%1\"").arg(mechanism)))
        << sent[3].toStdString();

    const QString body =
        QStringLiteral("1:420777123456:Šifrovaná Zkouška:2:https://crm.velora.example/?id=7");
    sender->SendMessage(receiver->JID(), QStringLiteral("chat"), body);
    ASSERT_TRUE(RunUntil([&] { return !messages.isEmpty(); }, 20000));
    EXPECT_TRUE(messages[0].contains(body)) << messages[0].toStdString();
}

TEST_F(TlsServerTest, PinnedFingerprintReplacesTheCa) {
    auto client = Account(1);
    client->SetCertificateFingerprint(endpoint.value(QStringLiteral("fingerprint")));
    TEventLog log;
    log.Attach(*client);
    client->Connect(1);
    ASSERT_TRUE(RunUntil([&] { return Settled(log, *client); }, 30000));
    EXPECT_TRUE(client->JabberOnline()) << log.Events.join(u'\n').toStdString();
    EXPECT_TRUE(client->Encrypted());
}

TEST_F(TlsServerTest, UntrustedCertificateIsRefusedBeforeAnyPasswordByte) {
    const struct {
        const char* Name;
        QString Fingerprint;
        QString Reason;
    } cases[] = {
        {"private CA unknown to the system", {}, "neznámý vydavatel"},
        {"another pinned fingerprint", QString(64, u'0'),
         "otisk certifikátu nesouhlasí s nastaveným"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto client = Account(1);
        client->SetCertificateFingerprint(c.Fingerprint);
        TEventLog log;
        log.Attach(*client);
        client->Connect(1);
        ASSERT_TRUE(RunUntil([&] { return Settled(log, *client); }, 30000));
        const QString reason = "SecurityError Certifikát serveru není důvěryhodný: " + c.Reason;
        EXPECT_EQ(log.Owner(), (QStringList{"Connect", "Disconnect", reason}));
        EXPECT_FALSE(client->Connected());
        for (const QString& sent : log.Events.filter(QStringLiteral("SendData ")))
            EXPECT_FALSE(sent.contains(u"<auth")) << sent.toStdString();
    }
}

} // namespace
