// The client against a scripted server on 127.0.0.1, through the real socket
// transport: every byte the client sends is checked, and so is what the owner sees.

#include "JabberProbe.h"
#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray kClientHeader =
    "<?xml version=\"1.0\"?> <stream:stream xmlns:stream=\"http://etherx.jabber.org/streams\" "
    "version=\"1.0\" xmlns=\"jabber:client\" to=\"localhost\" xml:lang=\"en\" "
    "xmlns:xml=\"http://www.w3.org/XML/1998/namespace\">";
const QByteArray kServerHeader =
    "<?xml version='1.0'?><stream:stream id='4711' version='1.0' xml:lang='en' "
    "xmlns:stream='http://etherx.jabber.org/streams' from='localhost' xmlns='jabber:client'>";
const QByteArray kMechanisms =
    "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
    "<mechanism>PLAIN</mechanism><mechanism>DIGEST-MD5</mechanism>"
    "</mechanisms></stream:features>";
const QByteArray kAuthDigest =
    "<auth xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\" mechanism=\"DIGEST-MD5\"/>";
// nonce="3462793041",qop="auth",charset=utf-8,algorithm=md5-sess
const QByteArray kChallenge =
    "<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
    "bm9uY2U9IjM0NjI3OTMwNDEiLHFvcD0iYXV0aCIsY2hhcnNldD11dGYtOCxhbGdvcml0aG09bWQ1LXNlc3M="
    "</challenge>";
// The answer for 420123456789@localhost with password "tajne" to that nonce.
const QByteArray kResponse =
    "<response xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\">"
    "dXNlcm5hbWU9IjQyMDEyMzQ1Njc4OSIscmVhbG09ImxvY2FsaG9zdCIsbm9uY2U9IjM0NjI3OTMwNDEiLGNub25jZT0i"
    "ZGY3NDdjYmRiZTY5MTg5ZDgwNjJiMDZjMmU5OGQxNjAiLG5jPTAwMDAwMDAxLHFvcD1hdXRoLGRpZ2VzdC11cmk9Inht"
    "cHAvbG9jYWxob3N0IixjaGFyc2V0PXV0Zi04LHJlc3BvbnNlPWVmMDY3ZTYwNjU3ODVhYjc3YjlhOWI0NWFkNTgzY2Vh"
    "</response>";
// rspauth=418ad03f9f3daf5c70286cd75da1937b: what a server that knows the password sends.
const QByteArray kRspAuth = "<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                            "cnNwYXV0aD00MThhZDAzZjlmM2RhZjVjNzAyODZjZDc1ZGExOTM3Yg=="
                            "</challenge>";
const QByteArray kEmptyResponse = "<response xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"/>";
const QByteArray kSuccess = "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>";
const QByteArray kBindFeatures = "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>"
                                 "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'><optional/>"
                                 "</session></stream:features>";
const QByteArray kBind = "<iq type=\"set\" id=\"bind_1\" ><bind "
                         "xmlns=\"urn:ietf:params:xml:ns:xmpp-bind\"><resource>tolvin</resource>"
                         "</bind></iq>";
const QByteArray kBindResult = "<iq type='result' id='bind_1'><bind "
                               "xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>"
                               "420123456789@localhost/tolvin</jid></bind></iq>";
const QByteArray kSessionRequest =
    "<iq type=\"set\" id=\"{id}\" ><session xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/></iq>";
const QByteArray kPresence = "<presence>\r\n<priority>5</priority>\r\n</presence>\r\n";
const QByteArray kStreamEnd = "</stream:stream>";

class WireTest : public testing::Test {
protected:
    void Start() {
        client.SetJabberServer(QStringLiteral("127.0.0.1"));
        client.SetJabberPort(peer.Port());
        client.SetJID(QStringLiteral("420123456789@localhost"));
        client.SetPassword(QStringLiteral("tajne"));
        // The cnonce is random per login; this one gives the answer below.
        client.SetFixedCnonce(QStringLiteral("df747cbdbe69189d8062b06c2e98d160"));
        log.Attach(client);
        peer.Start();
        client.Connect(1);
    }

    // The script of a DIGEST-MD5 login up to the stream restart.
    void ScriptSasl() {
        peer.Expect(kClientHeader)
            .Send(kServerHeader)
            .Pause(30)
            .Send(kMechanisms)
            .Expect(kAuthDigest)
            .Send(kChallenge)
            .Expect(kResponse)
            .Send(kRspAuth)
            .Expect(kEmptyResponse)
            .Send(kSuccess)
            .Expect(kClientHeader);
    }

    // The whole login: SASL, bind, session answered with an empty result, presence.
    void ScriptLogin() {
        ScriptSasl();
        peer.Send(kServerHeader + kBindFeatures)
            .Expect(kBind)
            .Send(kBindResult)
            .Expect(kSessionRequest)
            .Send("<iq xml:lang='en' to='420123456789@localhost/tolvin' from='localhost' "
                  "type='result' id='{id}'/>")
            .Expect(kPresence);
    }

    void Finish() {
        ASSERT_TRUE(RunUntil([&] { return peer.Done(); })) << "script did not finish";
        EXPECT_EQ(peer.Error(), QString());
    }

    bool WaitFor(const QString& Entry) {
        return RunUntil([&] { return log.Owner().contains(Entry); });
    }

    TScriptedPeer peer;
    TJabberProbe client;
    TEventLog log;
};

TEST_F(WireTest, LogsInAndReceivesACallRecord) {
    ScriptLogin();
    // A call record with an apostrophe and Czech letters, one of them split between
    // two chunks.
    const QByteArray message = "<message from='pbx@localhost' to='420123456789@localhost' "
                               "type='chat'><body>1:420777123456:Jan O'Brien Nov\xc3\xa1kov\xc3"
                               "\xa1:2:https://crm.velora.example/?a=1&amp;b=2</body></message>";
    const qsizetype split = message.indexOf("\xa1</body>");
    peer.Send(message.left(split)).Pause(50).Send(message.mid(split)).Expect(kPresence).Close();
    Start();

    ASSERT_TRUE(WaitFor(QStringLiteral("JabberOnline")));
    EXPECT_TRUE(client.Connected());
    EXPECT_TRUE(client.JabberOnline());
    const QString rendering =
        QStringLiteral("<message from=\"pbx@localhost\" to=\"420123456789@localhost\" "
                       "type=\"chat\">\r\n<body>1:420777123456:Jan O'Brien Nováková:2:"
                       "https://crm.velora.example/?a=1&amp;b=2</body>\r\n</message>\r\n");
    ASSERT_TRUE(WaitFor(QStringLiteral("Message ") + rendering));
    client.Connect(1); // the owner's keep-alive: one presence
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("Disconnect")));

    const QString sessionId = peer.Ids().value(0);
    EXPECT_EQ(log.Owner(),
              (QStringList{
                  "Connect",
                  "IQ <iq type=\"result\" id=\"bind_1\">\r\n<bind "
                  "xmlns=\"urn:ietf:params:xml:ns:xmpp-bind\">\r\n<jid>420123456789@localhost/"
                  "tolvin</jid>\r\n</bind>\r\n</iq>\r\n",
                  "IQ <iq xml:lang=\"en\" to=\"420123456789@localhost/tolvin\" from=\"localhost\" "
                  "type=\"result\" id=\"" +
                      sessionId + "\"/>\r\n",
                  "JabberOnline", "Message " + rendering, "Disconnect"}));
    // The header goes to the socket before OnConnect; presence before OnJabberOnline.
    EXPECT_EQ(log.Events.value(0), "SendData " + QString::fromLatin1(kClientHeader));
    EXPECT_EQ(log.Events.value(1), QStringLiteral("Connect"));
    const qsizetype online = log.Events.indexOf(QStringLiteral("JabberOnline"));
    EXPECT_EQ(log.Events.value(online - 1), "SendData " + QString::fromLatin1(kPresence));
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.JabberOnline());
}

TEST_F(WireTest, SessionChildConfirmsOnceAndBindErrorStillRequestsSession) {
    ScriptSasl();
    peer.Send(kServerHeader + kBindFeatures)
        .Expect(kBind)
        .Send("<iq type='error' id='bind_1'/>")
        .Expect(kSessionRequest)
        .Send("<iq type='result' id='other'><session "
              "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>")
        .Expect(kPresence)
        .Send("<iq type='result' id='{id}'/><iq type='result' id='x'><session "
              "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>")
        .ExpectNothing(300)
        .Close();
    Start();
    Finish();
    EXPECT_EQ(log.Owner().count(QStringLiteral("JabberOnline")), 1);
}

struct TRefusal {
    const char* Name;
    QByteArray AfterAuth;   // what the server answers to the auth
    QString LoginErrorText; // the rendering OnLoginError carries
    bool AnswerChallenge;   // whether the client answers the first challenge first
};

void PrintTo(const TRefusal& Case, std::ostream* Os) {
    *Os << Case.Name;
}

class RefusalTest : public WireTest, public testing::WithParamInterface<TRefusal> {};

TEST_P(RefusalTest, DisconnectsThenReportsTheLoginError) {
    peer.Expect(kClientHeader).Send(kServerHeader + kMechanisms).Expect(kAuthDigest);
    if (GetParam().AnswerChallenge)
        peer.Send(kChallenge).Expect(kResponse);
    // What follows the refusal in the same chunk is not dispatched.
    peer.Send(GetParam().AfterAuth + "<message><body>late</body></message>")
        .Expect(kStreamEnd)
        .ExpectClosed();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("LoginError ") + GetParam().LoginErrorText));
    RunFor(100);
    EXPECT_EQ(log.Owner(),
              (QStringList{"Connect", "Disconnect", "LoginError " + GetParam().LoginErrorText}));
    EXPECT_FALSE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Wire, RefusalTest,
    testing::Values(
        TRefusal{"SASL failure",
                 "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>",
                 "<failure xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\">\r\n<not-authorized/>\r\n"
                 "</failure>\r\n",
                 true},
        TRefusal{"rspauth that does not prove the password",
                 "<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                 "cnNwYXV0aD0wMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMA==</challenge>",
                 "<challenge xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\">"
                 "cnNwYXV0aD0wMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMA==</challenge>\r\n",
                 true},
        TRefusal{"rspauth before any answer", kRspAuth,
                 "<challenge xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\">"
                 "cnNwYXV0aD00MThhZDAzZjlmM2RhZjVjNzAyODZjZDc1ZGExOTM3Yg==</challenge>\r\n",
                 false}));

TEST_F(WireTest, LegacyAuthenticationAsksForRosterAndBookmarks) {
    const QByteArray roster = "<iq type=\"get\" id=\"{id}\">\r\n<query "
                              "xmlns=\"jabber:iq:roster\"/>\r\n</iq>\r\n";
    const QByteArray bookmarks = "<iq type=\"get\" id=\"{id}\">\r\n<query "
                                 "xmlns=\"jabber:iq:private\">\r\n<storage "
                                 "xmlns=\"storage:bookmarks\"/>\r\n</query>\r\n</iq>\r\n";
    peer.Expect(kClientHeader)
        .Send(kServerHeader + "<iq type='result' id='auth_1'><query xmlns='jabber:iq:auth'>"
                              "<username/><digest/><resource/></query></iq>")
        .Expect("<iq type=\"set\" id=\"auth_2\" to=\"localhost\">\r\n"
                "<query xmlns=\"jabber:iq:auth\">\r\n"
                "<username>420123456789</username>\r\n"
                "<digest>77f869401de682f60e0e749493ab793d</digest>\r\n"
                "<resource>tolvin</resource>\r\n</query>\r\n</iq>\r\n")
        .Send("<iq type='result' id='auth_2'/>")
        .Expect(roster)
        .Expect(bookmarks)
        .Send("<iq type='result' id='bm'><query xmlns='jabber:iq:private'><storage "
              "xmlns='storage:bookmarks'/></query></iq>")
        .Send("<iq type='result' id='ro'><query xmlns='jabber:iq:roster'/></iq>")
        .Close();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("Disconnect")));
    const QStringList ids = peer.Ids();
    ASSERT_EQ(ids.size(), 2);
    EXPECT_NE(ids[0], ids[1]);
    const QString rosterAnswer = QStringLiteral(
        "<iq type=\"result\" id=\"ro\">\r\n<query xmlns=\"jabber:iq:roster\"/>\r\n</iq>\r\n");
    EXPECT_EQ(log.Owner(), (QStringList{"Connect",
                                        "IQ <iq type=\"result\" id=\"auth_1\">\r\n<query "
                                        "xmlns=\"jabber:iq:auth\">\r\n<username/>\r\n<digest/>\r\n"
                                        "<resource/>\r\n</query>\r\n</iq>\r\n",
                                        "IQ <iq type=\"result\" id=\"auth_2\"/>\r\n",
                                        "IQ <iq type=\"result\" id=\"bm\">\r\n<query "
                                        "xmlns=\"jabber:iq:private\">\r\n<storage "
                                        "xmlns=\"storage:bookmarks\"/>\r\n</query>\r\n</iq>\r\n",
                                        "IQ " + rosterAnswer, "JabberOnline",
                                        "GetRoster " + rosterAnswer, "Disconnect"}));
}

TEST_F(WireTest, LegacyAuthenticationErrorIsALoginError) {
    peer.Expect(kClientHeader)
        .Send(kServerHeader + "<iq type='error' id='auth_1'/>")
        .Expect(kStreamEnd)
        .ExpectClosed();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("LoginError <iq type=\"error\" id=\"auth_1\"/>\r\n")));
    EXPECT_EQ(log.Owner(),
              (QStringList{"Connect", "IQ <iq type=\"error\" id=\"auth_1\"/>\r\n", "Disconnect",
                           "LoginError <iq type=\"error\" id=\"auth_1\"/>\r\n"}));
}

struct TNoLogin {
    const char* Name;
    TEncryption Encryption;
    QByteArray Features;
    QString Reason;
};

void PrintTo(const TNoLogin& Case, std::ostream* Os) {
    *Os << Case.Name;
}

class NoLoginTest : public WireTest, public testing::WithParamInterface<TNoLogin> {};

// Nothing of the password leaves: the client closes and tells the owner why.
TEST_P(NoLoginTest, ClosesBeforeAnyAuthAndSaysWhy) {
    client.SetEncryption(GetParam().Encryption);
    peer.Expect(kClientHeader)
        .Send(kServerHeader + GetParam().Features)
        .Expect(kStreamEnd)
        .ExpectClosed();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("SecurityError ") + GetParam().Reason));
    EXPECT_EQ(log.Owner(),
              (QStringList{"Connect", "Disconnect", "SecurityError " + GetParam().Reason}));
}

INSTANTIATE_TEST_SUITE_P(
    Wire, NoLoginTest,
    testing::Values(
        TNoLogin{"plain only, in clear", TEncryption::IfOffered,
                 "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                 "<mechanism>PLAIN</mechanism><mechanism>X-OAUTH2</mechanism></mechanisms>"
                 "</stream:features>",
                 "Server nabízí jen přihlášení, které by poslalo heslo nešifrovaně; bez "
                 "šifrování se nepřihlásím."},
        TNoLogin{"nothing usable", TEncryption::Never,
                 "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                 "<mechanism>X-OAUTH2</mechanism><mechanism>EXTERNAL</mechanism></mechanisms>"
                 "</stream:features>",
                 "Server nenabízí žádný podporovaný způsob přihlášení (nabízí: X-OAUTH2, "
                 "EXTERNAL)."},
        TNoLogin{"TLS required, none offered", TEncryption::Required, kMechanisms,
                 "Server nenabízí šifrované spojení a nastavení (sifrovani=vyzadovat) bez něj "
                 "přihlášení nedovoluje."}));

TEST_F(WireTest, DigestLoginNeedsTheServersRspAuth) {
    // A bare success without any rspauth proves nothing.
    peer.Expect(kClientHeader)
        .Send(kServerHeader + kMechanisms)
        .Expect(kAuthDigest)
        .Send(kChallenge)
        .Expect(kResponse)
        .Send(kSuccess)
        .Expect(kStreamEnd)
        .ExpectClosed();
    Start();
    Finish();
    const QString rendering =
        QStringLiteral("<success xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"/>\r\n");
    ASSERT_TRUE(WaitFor("LoginError " + rendering));
    EXPECT_EQ(log.Owner(), (QStringList{"Connect", "Disconnect", "LoginError " + rendering}));
}

TEST_F(WireTest, RspAuthAsTheDataOfSuccessIsEnough) {
    peer.Expect(kClientHeader)
        .Send(kServerHeader + kMechanisms)
        .Expect(kAuthDigest)
        .Send(kChallenge)
        .Expect(kResponse)
        .Send("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
              "cnNwYXV0aD00MThhZDAzZjlmM2RhZjVjNzAyODZjZDc1ZGExOTM3Yg==</success>")
        .Expect(kClientHeader)
        .Close();
    Start();
    Finish();
}

TEST_F(WireTest, StreamErrorEndsTheConnection) {
    peer.Expect(kClientHeader)
        .Send(kServerHeader + "<presence from='a'/>")
        .Pause(50)
        .Send("<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>"
              "</stream:error><presence from='b'/>")
        .Expect(kStreamEnd)
        .ExpectClosed();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("Disconnect")));
    EXPECT_EQ(log.Owner(),
              (QStringList{"Connect", "Presence <presence from=\"a\"/>\r\n", "Disconnect"}));
    EXPECT_EQ(client.StreamError(), QStringLiteral("conflict"));
    EXPECT_FALSE(client.Connected());
}

// Every iq get or set is answered, as servers expect: a ping and a roster push with
// an empty result, anything else with service-unavailable; results and errors are
// not answered. Attribute values go back as they came, escaped.
TEST_F(WireTest, AnswersEveryRequestOfTheServer) {
    ScriptLogin();
    peer.Send("<iq type='get' id='p1' from='localhost' to='420123456789@localhost/tolvin'>"
              "<ping xmlns='urn:xmpp:ping'/></iq>"
              "<iq type='set' id='r1'><query xmlns='jabber:iq:roster'><item "
              "jid='a@localhost'/></query></iq>"
              "<iq type='get' id='d&amp;1' from='x@localhost/y'><query "
              "xmlns='http://jabber.org/protocol/disco#info'/></iq>"
              "<iq type='result' id='z'/><iq type='error' id='e'/>")
        .Expect("<iq type=\"result\" id=\"p1\" to=\"localhost\"/>")
        .Expect("<iq type=\"result\" id=\"r1\"/>")
        .Expect("<iq type=\"error\" id=\"d&amp;1\" to=\"x@localhost/y\"><error "
                "type=\"cancel\"><service-unavailable "
                "xmlns=\"urn:ietf:params:xml:ns:xmpp-stanzas\"/></error></iq>")
        .ExpectNothing(300)
        .Close();
    Start();
    Finish();
}

// A quiet link is pinged; an answer keeps it, silence ends it as a lost connection.
TEST_F(WireTest, PingFindsADeadLink) {
    const QByteArray ping =
        "<iq type=\"get\" id=\"{id}\" to=\"localhost\"><ping xmlns=\"urn:xmpp:ping\"/></iq>";
    client.SetPingInterval(std::chrono::milliseconds(200));
    client.SetPingTimeout(std::chrono::milliseconds(3000));
    ScriptLogin();
    peer.Expect(ping)
        .Send("<iq type='result' id='{id}' from='localhost'/>")
        .Expect(ping)
        .ExpectClosed();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("Disconnect")));
    EXPECT_EQ(log.Owner().count(QStringLiteral("Disconnect")), 1);
    EXPECT_FALSE(client.Connected());
}

// A server that takes the connection but never logs the client in: the attempt is
// ended as a lost connection.
TEST_F(WireTest, AttemptThatIsNotOnlineInTimeIsEnded) {
    client.SetAttemptTimeout(std::chrono::milliseconds(300));
    peer.Expect(kClientHeader).Send(kServerHeader).ExpectClosed();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("Disconnect")));
    EXPECT_EQ(log.Owner(), (QStringList{"Connect", "Disconnect"}));
}

TEST_F(WireTest, RefusedConnectionRaisesConnectErrorAlone) {
    const uint16_t closedPort = [] {
        TScriptedPeer probe; // listens, then closes on return
        return probe.Port();
    }();
    client.SetJabberServer(QStringLiteral("127.0.0.1"));
    client.SetJabberPort(closedPort);
    log.Attach(client);
    client.Connect(1);
    ASSERT_TRUE(WaitFor(QStringLiteral("ConnectError")));
    RunFor(100);
    EXPECT_EQ(log.Events, QStringList{QStringLiteral("ConnectError")});
    EXPECT_FALSE(client.Connected());
}

TEST_F(WireTest, DisconnectClosesOnceAndOnlyWhenConnected) {
    // The header is sent from the worker; closing before it left would drop it.
    std::atomic<bool> headerArrived = false;
    peer.Expect(kClientHeader).Do([&] { headerArrived = true; }).Expect(kStreamEnd).ExpectClosed();
    Start();
    ASSERT_TRUE(WaitFor(QStringLiteral("Connect")));
    ASSERT_TRUE(RunUntil([&] { return headerArrived.load(); }));
    client.Disconnect();
    client.Disconnect();
    Finish();
    RunFor(100);
    EXPECT_EQ(log.Owner(), (QStringList{"Connect", "Disconnect"}));
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.JabberOnline());
}

TEST_F(WireTest, ReleasingTheClientClosesItsConnection) {
    auto* owner = new QObject;
    auto* released = new TJabberClient(owner);
    released->SetJabberServer(QStringLiteral("127.0.0.1"));
    released->SetJabberPort(peer.Port());
    released->SetJID(QStringLiteral("420123456789@localhost"));
    bool connected = false;
    released->OnConnect = [&](TJabberClient*) {
        connected = true;
    };
    std::atomic<bool> headerArrived = false;
    peer.Expect(kClientHeader).Do([&] { headerArrived = true; }).ExpectClosed();
    peer.Start();
    released->Connect(1);
    ASSERT_TRUE(RunUntil([&] { return connected && headerArrived.load(); }));
    delete owner;
    Finish();
}

TEST_F(WireTest, SendStrLimitAndControlCharacters) {
    const QByteArray limit(65534, 'a');
    const QByteArray czech = QByteArray("\xc4\x8d") + QByteArray(65532, 'b'); // "č" counts two
    peer.Expect(kClientHeader).Expect(limit).Expect(czech).Expect("a?b\r\n").Close();
    Start();
    ASSERT_TRUE(WaitFor(QStringLiteral("Connect")));
    client.SendStr(QString::fromLatin1(limit));
    client.SendStr(QString::fromUtf8(czech));
    const qsizetype sent = log.Events.size();
    try {
        client.SendStr(QString::fromLatin1(limit) + u'a');
        ADD_FAILURE() << "65,535 bytes were accepted";
    } catch (const EJabberError& e) {
        EXPECT_STREQ(e.what(), "Big String for send");
    }
    EXPECT_THROW(client.SendStr(QString::fromUtf8(czech) + u'b'), EJabberError);
    EXPECT_EQ(log.Events.size(), sent);
    client.SendStr(QStringLiteral("a\tb\r\n"));
    EXPECT_EQ(log.Events.last(), QStringLiteral("SendData a\tb\r\n"));
    Finish();
}

TEST_F(WireTest, SendMessageEscapesTheBodyAndLeavesOutEmptyAttributes) {
    peer.Expect(kClientHeader)
        .Expect("<message from=\"420123456789@localhost\" to=\"x@y\" type=\"chat\" id=\"{id}\">"
                "\r\n<body>&lt; &amp; &quot;</body>\r\n</message>\r\n")
        .Expect("<message from=\"420123456789@localhost\" to=\"x@y\" id=\"{id}\">\r\n"
                "<body>O&apos;Brien\r\nNovák</body>\r\n</message>\r\n")
        .Expect("<message from=\"420123456789@localhost\" id=\"{id}\">\r\n<body/>\r\n"
                "</message>\r\n")
        .Close();
    Start();
    ASSERT_TRUE(WaitFor(QStringLiteral("Connect")));
    client.SendMessage(QStringLiteral("x@y"), QStringLiteral("chat"), QStringLiteral("< & \""));
    client.SendMessage(QStringLiteral("x@y"), QString(), QStringLiteral("O'Brien\r\nNovák"));
    client.SendMessage(QString(), QString(), QString());
    Finish();
}

TEST_F(WireTest, PeerThatNeverCompletesAStanzaIsDisconnected) {
    peer.Expect(kClientHeader)
        .Send("<message><body>")
        .Send(QByteArray(1024 * 1024 + 1, 'x'))
        .ExpectClosed();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("Disconnect")));
    EXPECT_EQ(log.Owner(), (QStringList{"Connect", "Disconnect"}));
}

TEST_F(WireTest, NewConnectionStartsWithAnEmptyBuffer) {
    peer.Expect(kClientHeader).Send(kServerHeader + "<message><body>cut off").Pause(50).Close();
    Start();
    Finish();
    ASSERT_TRUE(WaitFor(QStringLiteral("Disconnect")));

    TScriptedPeer second;
    second.Expect(kClientHeader)
        .Send(kServerHeader + "<message><body>fresh</body></message>")
        .Close();
    second.Start();
    client.SetJabberPort(second.Port());
    client.Connect(1);
    ASSERT_TRUE(RunUntil([&] { return second.Done(); }));
    EXPECT_EQ(second.Error(), QString());
    ASSERT_TRUE(RunUntil([&] { return log.Owner().count(QStringLiteral("Disconnect")) == 2; }));
    EXPECT_EQ(log.Owner(), (QStringList{"Connect", "Disconnect", "Connect",
                                        "Message <message>\r\n<body>fresh</body>\r\n</message>\r\n",
                                        "Disconnect"}));
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A server that asks for an answer 10,000 times in one burst and reads none of the
// answers: the client's send queue reaches its bound and the client disconnects,
// instead of growing by every answer.
TEST(WireBurst, ThousandsOfRequestsDoNotGrowTheClientWithoutBound) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Inherited by the accepted socket: the server's side takes almost nothing.
    const int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    // Long ids make long answers: more than the kernel buffers on both sides take,
    // so that the answers pile up in the client's own queue.
    QByteArray burst;
    for (int i = 0; i < 10000; ++i)
        burst += "<iq type='get' id='" + QByteArray::number(i) + '-' + QByteArray(600, 'x') +
                 "' from='someone@localhost/a-rather-long-resource'><query "
                 "xmlns='urn:example:unknown'/></iq>";
    TJabberProbe client;
    QStringList events;
    client.OnConnect = [&](TJabberClient*) {
        events << QStringLiteral("Connect");
    };
    client.OnDisconnect = [&](TJabberClient*) {
        events << QStringLiteral("Disconnect");
    };
    client.SetJabberServer(QStringLiteral("127.0.0.1"));
    client.SetJabberPort(ntohs(address.sin_port));
    client.SetJID(QStringLiteral("420123456789@localhost"));
    client.SetPassword(QStringLiteral("tajne"));
    // Only the bound may end this connection, not the login that never comes.
    client.SetAttemptTimeout(std::chrono::minutes(10));
    const long before = PeakRssKiB();
    client.Connect(1);
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(connection, 0);
    std::thread server([&] {
        const char* data = burst.constData();
        qsizetype left = burst.size();
        while (left > 0) {
            const ssize_t n = send(connection, data, size_t(left), MSG_NOSIGNAL);
            if (n <= 0)
                return; // the client has gone
            data += n;
            left -= n;
        }
    });
    const bool disconnected =
        RunUntil([&] { return events.contains(QStringLiteral("Disconnect")); }, 120000);
    shutdown(connection, SHUT_RDWR);
    server.join();
    close(connection);
    close(listener);
    ASSERT_TRUE(disconnected);
    RunFor(50);
    EXPECT_EQ(events, (QStringList{"Connect", "Disconnect"}));
    EXPECT_FALSE(client.Connected());
#if !defined(__SANITIZE_ADDRESS__)
    // Sanitizers keep freed memory on purpose, so the figure means nothing there.
    EXPECT_LT(PeakRssKiB() - before, 16 * 1024);
#endif
}

} // namespace
