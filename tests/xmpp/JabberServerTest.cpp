// The client against a real ejabberd on 127.0.0.1, started by the test fixture
// (tests/xmpp/ejabberd/start), which writes the port and the test accounts into
// $VELORA_EJABBERD_DIR/endpoint.

#include "JabberProbe.h"
#include "ScriptedPeer.h"

#include <QFile>
#include <QHash>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

namespace {

class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        const QString dir = qEnvironmentVariable("VELORA_EJABBERD_DIR");
        QFile file(dir + QStringLiteral("/endpoint"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly))
            << "no running test server: " << file.fileName().toStdString()
            << " is missing (the ejabberd fixture did not start)";
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                endpoint.insert(QString::fromUtf8(line.left(eq)),
                                QString::fromUtf8(line.mid(eq + 1)));
        }
        ASSERT_TRUE(endpoint.contains(QStringLiteral("port")));
    }

    // A client for test account N (1, 2 or 3) with its password, or with Password.
    std::unique_ptr<TJabberClient> Account(int N, const QString& Password = {}) {
        auto client = std::make_unique<TJabberClient>();
        client->SetJabberServer(QStringLiteral("127.0.0.1"));
        client->SetJabberPort(endpoint.value(QStringLiteral("port")).toUShort());
        client->SetJID(Jid(N));
        client->SetPassword(Password.isEmpty() ? endpoint.value(QStringLiteral("password%1").arg(N))
                                               : Password);
        return client;
    }

    QString Jid(int N) const {
        return endpoint.value(QStringLiteral("user%1").arg(N)) + u'@' +
               endpoint.value(QStringLiteral("domain"));
    }

    static bool Has(const TEventLog& Log, QStringView Prefix) {
        for (const QString& e : Log.Events)
            if (e.startsWith(Prefix))
                return true;
        return false;
    }

    QHash<QString, QString> endpoint;
};

// The body of the first message in a rendering, read by a real XML parser as the
// program's window does.
QString BodyOf(const QString& Rendering) {
    QXmlStreamReader reader(Rendering);
    while (reader.readNextStartElement()) {
        if (reader.name() == u"body")
            return reader.readElementText();
        if (reader.name() != u"message")
            reader.skipCurrentElement();
    }
    return QStringLiteral("(no body: %1)").arg(reader.errorString());
}

TEST_F(ServerTest, LogsInKeepsAliveAndReceivesACallRecordFromASecondAccount) {
    auto receiver = Account(1);
    auto sender = Account(2);
    TEventLog log;
    log.Attach(*receiver);
    QStringList messages;
    receiver->OnMessage = [&](TJabberClient*, const QString& Text) {
        messages << Text;
    };
    bool senderOnline = false;
    sender->OnJabberOnline = [&](TJabberClient*) {
        senderOnline = true;
    };

    receiver->Connect(1);
    sender->Connect(1);
    ASSERT_TRUE(RunUntil([&] { return receiver->JabberOnline() && senderOnline; }, 20000))
        << log.Events.join(u'\n').toStdString();
    const QStringList owner = log.Owner();
    ASSERT_GE(owner.size(), 4);
    EXPECT_EQ(owner[0], QStringLiteral("Connect"));
    EXPECT_TRUE(owner[1].startsWith(u"IQ <iq type=\"result\" id=\"bind_1\">"))
        << owner[1].toStdString();
    EXPECT_TRUE(owner[2].startsWith(u"IQ <iq ")) << owner[2].toStdString();
    EXPECT_EQ(owner[3], QStringLiteral("JabberOnline"));

    // The server echoes every presence; the periodic Connect(1) keeps the connection.
    ASSERT_TRUE(
        RunUntil([&] { return log.Owner().filter(QStringLiteral("Presence ")).size() >= 1; }));
    receiver->Connect(1);
    ASSERT_TRUE(
        RunUntil([&] { return log.Owner().filter(QStringLiteral("Presence ")).size() >= 2; }));
    EXPECT_TRUE(receiver->Connected());

    const QString record = QStringLiteral("1:420777123456:%1:2:Jan O'Brien Nováková Žluťoučký:"
                                          "https://crm.velora.example/k?id=1&x=\"2\"")
                               .arg(endpoint.value(QStringLiteral("user1")));
    sender->SendMessage(Jid(1), QStringLiteral("chat"), record);
    ASSERT_TRUE(RunUntil([&] { return !messages.isEmpty(); }))
        << log.Events.join(u'\n').toStdString();
    EXPECT_EQ(BodyOf(messages[0]), record) << messages[0].toStdString();
    EXPECT_FALSE(messages[0].contains(QStringLiteral("O\"Brien")));

    receiver->GetRoster();
    ASSERT_TRUE(RunUntil([&] { return Has(log, u"GetRoster "); }));
    receiver->GetBookMarks();
    ASSERT_TRUE(RunUntil(
        [&] { return log.Owner().filter(QStringLiteral("jabber:iq:private")).size() == 1; }));
    EXPECT_FALSE(Has(log, u"Disconnect"));
    EXPECT_FALSE(Has(log, u"wrong Sender"));

    receiver->Disconnect();
    EXPECT_EQ(log.Owner().last(), QStringLiteral("Disconnect"));
}

TEST_F(ServerTest, WrongPasswordDisconnectsThenReportsTheLoginError) {
    auto client = Account(1, QStringLiteral("spatne-heslo"));
    TEventLog log;
    log.Attach(*client);
    client->Connect(1);
    ASSERT_TRUE(RunUntil([&] { return Has(log, u"LoginError "); }, 20000))
        << log.Events.join(u'\n').toStdString();
    RunFor(200);
    const QStringList owner = log.Owner();
    ASSERT_EQ(owner.size(), 3) << owner.join(u'\n').toStdString();
    EXPECT_EQ(owner[0], QStringLiteral("Connect"));
    EXPECT_EQ(owner[1], QStringLiteral("Disconnect"));
    EXPECT_TRUE(owner[2].startsWith(
        u"LoginError <failure "
        u"xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\">\r\n<not-authorized/>\r\n"))
        << owner[2].toStdString();
    EXPECT_FALSE(client->Connected());
}

TEST_F(ServerTest, RequiredEncryptionRefusesAServerWithoutStartTls) {
    auto client = Account(1);
    client->SetEncryption(TEncryption::Required);
    TEventLog log;
    log.Attach(*client);
    client->Connect(1);
    ASSERT_TRUE(RunUntil([&] { return Has(log, u"SecurityError "); }, 20000))
        << log.Events.join(u'\n').toStdString();
    EXPECT_EQ(log.Owner(),
              (QStringList{"Connect", "Disconnect",
                           "SecurityError Server nenabízí šifrované spojení a nastavení "
                           "(sifrovani=vyzadovat) bez něj přihlášení nedovoluje."}));
    for (const QString& sent : log.Events.filter(QStringLiteral("SendData ")))
        EXPECT_FALSE(sent.contains(u"<auth")) << sent.toStdString();
}

TEST_F(ServerTest, PasswordOutsideAsciiLogsIn) {
    auto client = Account(3);
    ASSERT_FALSE(client->Password().contains(QChar(u'?')));
    bool online = false;
    QString refused;
    client->OnJabberOnline = [&](TJabberClient*) {
        online = true;
    };
    client->OnLoginError = [&](TJabberClient*, const QString& Error) {
        refused = Error;
    };
    client->Connect(1);
    ASSERT_TRUE(RunUntil([&] { return online || !refused.isEmpty(); }, 20000));
    EXPECT_TRUE(online) << refused.toStdString();
}

} // namespace
