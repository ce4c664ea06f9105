// The client against a real server that requires STARTTLS, with a certificate from a
// private CA: ejabberd set up as Debian ships it (SCRAM-hashed passwords, no
// DIGEST-MD5; tests/xmpp/ejabberd/start <dir> tls) or Prosody with
// c2s_require_encryption (tests/xmpp/prosody/start <dir>). The fixture writes the
// port, the accounts, the CA file, the certificate's fingerprint and the mechanism
// the server's store allows into $VELORA_TLS_SERVER_DIR/endpoint. The downgrade
// case by default runs against ejabberd offering STARTTLS without requiring it
// (tests/xmpp/ejabberd/start <dir> offered, $VELORA_OFFERED_SERVER_DIR/endpoint).

#include "JabberProbe.h"
#include "ScriptedPeer.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A man in the middle on 127.0.0.1: relays one connection to the server and cuts
// <starttls/> out of the server's first features, as an attacker downgrading the
// stream would. Every wait is bounded; the destructor ends the relay.
class TStripRelay {
public:
    explicit TStripRelay(uint16_t ServerPort) : FServerPort(ServerPort) {
        FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(FListen, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(FListen, 1);
        socklen_t length = sizeof address;
        getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Run(); });
    }
    ~TStripRelay() {
        FStop = true;
        FThread.join();
        close(FListen);
    }
    uint16_t Port() const { return FPort; }
    bool Stripped() const { return FStripped.load(); }

private:
    bool Wait(int Handle) const {
        for (int i = 0; i < 300 && !FStop; ++i) {
            pollfd fd{Handle, POLLIN, 0};
            if (poll(&fd, 1, 100) > 0)
                return true;
        }
        return false;
    }
    void Run() {
        if (!Wait(FListen))
            return;
        const int client = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(FServerPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        QByteArray held; // the server's bytes until its first features are complete
        bool featuresSeen = false;
        char buffer[65536];
        while (!FStop) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(fds, 2, 100) <= 0)
                continue;
            if (fds[0].revents) {
                const ssize_t n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                send(server, buffer, size_t(n), MSG_NOSIGNAL);
            }
            if (fds[1].revents) {
                const ssize_t n = recv(server, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                if (featuresSeen) {
                    send(client, buffer, size_t(n), MSG_NOSIGNAL);
                    continue;
                }
                held.append(buffer, n);
                if (!held.contains("</stream:features>"))
                    continue;
                featuresSeen = true;
                const qsizetype before = held.size();
                QString text = QString::fromUtf8(held);
                text.remove(
                    QRegularExpression(QStringLiteral("<starttls[^>]*/>|<starttls.*?</starttls>")));
                held = text.toUtf8();
                FStripped = held.size() < before;
                send(client, held.constData(), size_t(held.size()), MSG_NOSIGNAL);
            }
        }
        close(client);
        close(server);
    }

    int FListen = -1;
    uint16_t FPort = 0;
    uint16_t FServerPort;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FStripped{false};
    std::thread FThread;
};

class TlsServerTest : public testing::Test {
protected:
    void SetUp() override { ReadEndpoint("VELORA_TLS_SERVER_DIR"); }

    void ReadEndpoint(const char* Variable) {
        QFile file(qEnvironmentVariable(Variable) + QStringLiteral("/endpoint"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly))
            << file.fileName().toStdString() << " is missing (the server did not start)";
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

TEST_F(TlsServerTest, RelayThatCutsStartTlsGetsNoPasswordByte) {
    const struct {
        TEncryption Mode;
        QString Reason;
    } cases[] = {
        {TEncryption::Required, "Server nenabízí šifrované spojení a nastavení "
                                "(sifrovani=vyzadovat) bez něj přihlášení nedovoluje."},
        // The server offers its mechanisms only over TLS: nothing is left to log in with.
        {TEncryption::IfOffered, "Server nenabízí žádný podporovaný způsob přihlášení."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Reason.toStdString());
        TStripRelay relay(endpoint.value(QStringLiteral("port")).toUShort());
        auto client = Account(1);
        client->SetJabberPort(relay.Port());
        client->SetCaFile(endpoint.value(QStringLiteral("ca")));
        client->SetEncryption(c.Mode);
        TEventLog log;
        log.Attach(*client);
        client->Connect(1);
        ASSERT_TRUE(RunUntil([&] { return Settled(log, *client); }, 30000));
        EXPECT_TRUE(relay.Stripped());
        EXPECT_EQ(log.Owner(), (QStringList{"Connect", "Disconnect", "SecurityError " + c.Reason}));
        for (const QString& sent : log.Events.filter(QStringLiteral("SendData ")))
            EXPECT_FALSE(sent.contains(u"<auth")) << sent.toStdString();
    }
}

// The server offers STARTTLS without requiring it, and DIGEST-MD5 and PLAIN before
// TLS. With STARTTLS cut out by a relay, the default goes on without TLS, but only
// with the mechanism that never reveals the password; with STARTTLS seen, TLS comes
// first.
class OfferedTlsServerTest : public TlsServerTest {
protected:
    void SetUp() override { ReadEndpoint("VELORA_OFFERED_SERVER_DIR"); }
};

TEST_F(OfferedTlsServerTest, DefaultAfterACutStartTlsLogsInWithDigestMd5Only) {
    for (const bool relayed : {true, false}) {
        SCOPED_TRACE(relayed ? "through the relay" : "straight");
        TStripRelay relay(endpoint.value(QStringLiteral("port")).toUShort());
        auto client = Account(1);
        if (relayed)
            client->SetJabberPort(relay.Port());
        client->SetCaFile(endpoint.value(QStringLiteral("ca")));
        client->SetEncryption(TEncryption::IfOffered);
        TEventLog log;
        log.Attach(*client);
        client->Connect(1);
        ASSERT_TRUE(RunUntil([&] { return Settled(log, *client); }, 30000))
            << log.Events.join(u'\n').toStdString();
        ASSERT_TRUE(client->JabberOnline()) << log.Events.join(u'\n').toStdString();
        EXPECT_EQ(relay.Stripped(), relayed);
        EXPECT_EQ(client->Encrypted(), !relayed);
        const QStringList sent = log.Events.filter(QStringLiteral("SendData "));
        const QStringList auth = sent.filter(QStringLiteral("<auth"));
        ASSERT_EQ(auth.size(), 1) << sent.join(u'\n').toStdString();
        EXPECT_TRUE(auth[0].contains(u"mechanism=\"DIGEST-MD5\"")) << auth[0].toStdString();
        EXPECT_EQ(sent.filter(QStringLiteral("<starttls")).size(), relayed ? 0 : 1);
        client->Disconnect();
    }
}

} // namespace
