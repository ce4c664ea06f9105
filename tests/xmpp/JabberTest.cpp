// The client without a connection: construction, the pure operations, and the
// dispatch of received stanzas to the owner's events.

#include "DigestMd5.h"
#include "JabberProbe.h"
#include "KvXml.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

QString Md5(const QByteArray& Bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(Bytes, QCryptographicHash::Md5).toHex());
}

QByteArray B64(const QByteArray& Text) {
    return Text.toBase64();
}

TEST(JabberClient, StartsWithTheDefaults) {
    QObject owner;
    auto* client = new TJabberClient(&owner);
    EXPECT_EQ(client->parent(), &owner);
    EXPECT_EQ(client->JabberServer(), QStringLiteral("xmpp.velora.example"));
    EXPECT_EQ(client->JabberPort(), 5222);
    EXPECT_EQ(client->Resources(), QStringLiteral("tolvin"));
    EXPECT_TRUE(client->JID().isEmpty());
    EXPECT_TRUE(client->Password().isEmpty());
    EXPECT_TRUE(client->UserName().isEmpty());
    EXPECT_TRUE(client->UserServer().isEmpty());
    EXPECT_FALSE(client->Connected());
    EXPECT_FALSE(client->JabberOnline());
    EXPECT_FALSE(client->OnMessage);
}

TEST(JabberClient, WithoutSocketSendsAndRaisesNothing) {
    TJabberClient client;
    TEventLog log;
    log.Attach(client);
    client.SendStr(QStringLiteral("<presence/>"));
    client.SendStr(QString(70000, u'x')); // not even the size failure
    client.GetRoster();
    client.GetBookMarks();
    client.SendMessage(QStringLiteral("a@b"), QStringLiteral("chat"), QStringLiteral("hi"));
    client.Disconnect();
    EXPECT_TRUE(log.Events.isEmpty()) << log.Events.join(u'|').toStdString();
}

struct TBadSymbolCase {
    const char16_t* Value;
    const char16_t* Result;
};

TEST(JabberClient, DeleteBadSymbolsKeepsCrLfAndReplacesOtherControls) {
    const TBadSymbolCase cases[] = {
        {u"a\r\nb", u"a\r\nb"},
        {u"tab\there", u"tab?here"},
        {u"esc\x1b", u"esc?"},
        {u"Nováková \x7f", u"Nováková \x7f"},
    };
    for (const TBadSymbolCase& c : cases)
        EXPECT_EQ(TJabberClient::DeleteBadSymbols(QString::fromUtf16(c.Value)),
                  QString::fromUtf16(c.Result));
    const QString nul(QChar(0));
    EXPECT_EQ(TJabberClient::DeleteBadSymbols(nul + QStringLiteral("x") + nul),
              QStringLiteral("?x?"));
}

TEST(JabberClient, Md5HexTrimsAndTakesOneBytePerCharacter) {
    EXPECT_EQ(TJabberProbe::MD5Hex(QStringLiteral(" \tabc\r\n")), Md5("abc"));
    EXPECT_EQ(TJabberProbe::MD5Hex(QStringLiteral("čaj")), Md5("?aj"));
    EXPECT_EQ(TJabberProbe::MD5Hex(QString()), Md5(""));
}

TEST(JabberClient, NewIdIsTenLowercaseHexDigits) {
    TJabberProbe client;
    const QRegularExpression form(QStringLiteral("^[0-9a-f]{10}$"));
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(form.match(client.NewID()).hasMatch());
}

TEST(JabberClient, LegacyDigestIsTheMd5OfTheTrimmedPassword) {
    TJabberProbe client;
    client.SetPassword(QStringLiteral(" tajne\t"));
    EXPECT_EQ(client.IqAuthDigest(), Md5("tajne"));
}

TEST(JabberClient, StrForParsingCutsOneElementAndKeepsTheRest) {
    TJabberClient client;
    QString buffer = QStringLiteral("\r\n<iq><query/></iq><presence/>");
    EXPECT_EQ(client.StrForParsing(buffer), QStringLiteral("<iq><query/></iq>"));
    EXPECT_EQ(buffer, QStringLiteral("<presence/>"));
    EXPECT_EQ(client.StrForParsing(buffer), QStringLiteral("<presence/>"));
    EXPECT_TRUE(buffer.isEmpty());

    buffer = QStringLiteral("<?xml version='1.0'?> <iq/><m");
    EXPECT_TRUE(client.StrForParsing(buffer).isEmpty());
    EXPECT_EQ(buffer, QStringLiteral("<iq/><m"));
}

struct TMechanismCase {
    const char* Mechanisms;
    int Code;
};

TEST(JabberClient, ChooseMechanismPrefersDigestWhereverItStands) {
    const TMechanismCase cases[] = {
        {"PLAIN DIGEST-MD5 SCRAM-SHA-1", 0},
        {"SCRAM-SHA-1 DIGEST-MD5 PLAIN", 0},
        {"digest-md5 plain", 0},
        {"SCRAM-SHA-1 PLAIN", 1},
        {"plain", 1},
        {"SCRAM-SHA-1", 2},
        {"", 2},
    };
    for (const TMechanismCase& c : cases) {
        QString text = QStringLiteral("<stream:features><mechanisms xmlns=\"%1\">")
                           .arg(QStringLiteral("urn:ietf:params:xml:ns:xmpp-sasl"));
        for (const QString& m : QString::fromLatin1(c.Mechanisms).split(u' ', Qt::SkipEmptyParts))
            text += QStringLiteral("<mechanism>%1</mechanism>").arg(m);
        text += QStringLiteral("</mechanisms></stream:features>");
        TKvXML doc;
        doc.SetText(text);
        EXPECT_EQ(TJabberProbe::ChooseMechanism(doc.Nodes().Root()), c.Code) << c.Mechanisms;
    }
}

class DigestResponseTest : public testing::Test {
protected:
    void SetUp() override {
        // The JID is split by Connect; a refused loopback port keeps it local.
        client.SetJID(QStringLiteral("420123456789@localhost"));
        client.SetPassword(QStringLiteral("tajne"));
        client.SetJabberServer(QStringLiteral("127.0.0.1"));
        client.SetJabberPort(1);
        client.SetFixedCnonce(QStringLiteral("df747cbdbe69189d8062b06c2e98d160"));
        client.Connect(1);
    }
    TJabberProbe client;
};

TEST_F(DigestResponseTest, EveryAnswerHasAFreshRandomCnonce) {
    client.SetFixedCnonce(QString());
    QStringList cnonces;
    for (int i = 0; i < 2; ++i) {
        const QByteArray answer = QByteArray::fromBase64(
            client.DigestResponse(QString::fromLatin1(B64("nonce=\"1\""))).toLatin1());
        cnonces << ParseChallenge(QString::fromLatin1(answer)).Value(u"cnonce");
    }
    EXPECT_EQ(cnonces[0].size(), 32);
    EXPECT_NE(cnonces[0], cnonces[1]);
    EXPECT_NE(cnonces[0], QStringLiteral("df747cbdbe69189d8062b06c2e98d160"));
}

TEST(JabberEscaping, WireValuesAreEscapedForTheirPlace) {
    TJabberProbe client;
    client.SetJID(QStringLiteral("420@a\"b&c"));
    client.SetJabberServer(QStringLiteral("127.0.0.1"));
    client.SetJabberPort(1);
    client.Connect(1);
    EXPECT_TRUE(client.StreamHeader().contains(u" to=\"a&quot;b&amp;c\" "))
        << client.StreamHeader().toStdString();
}

TEST_F(DigestResponseTest, AnswersWithTheDirectivesInOrder) {
    const QByteArray expected =
        "username=\"420123456789\",realm=\"localhost\",nonce=\"3462793041\","
        "cnonce=\"df747cbdbe69189d8062b06c2e98d160\",nc=00000001,qop=auth,"
        "digest-uri=\"xmpp/localhost\",charset=utf-8,response=ef067e6065785ab77b9a9b45ad583cea";
    // The challenge's own realm changes nothing; a nonce at the end needs no comma.
    for (const QByteArray& challenge :
         {QByteArray("nonce=\"3462793041\",qop=\"auth\",charset=utf-8,algorithm=md5-sess"),
          QByteArray("realm=\"elsewhere\",qop=\"auth\",nonce=3462793041")}) {
        const QString answer = client.DigestResponse(QString::fromLatin1(B64(challenge)));
        EXPECT_EQ(QByteArray::fromBase64(answer.toLatin1()), expected) << challenge.constData();
    }
}

TEST_F(DigestResponseTest, RspAuthChallengeGetsAnEmptyAnswer) {
    EXPECT_TRUE(client.DigestResponse(QString::fromLatin1(B64("rspauth=abc"))).isEmpty());
}

TEST_F(DigestResponseTest, NoNonceGivesAnAnswerWithAnEmptyNonce) {
    const QByteArray answer = QByteArray::fromBase64(
        client.DigestResponse(QString::fromLatin1(B64("qop=auth"))).toLatin1());
    EXPECT_TRUE(answer.contains(",nonce=\"\","));
    EXPECT_FALSE(answer.contains("authzid"));
    EXPECT_FALSE(answer.contains(' '));
    EXPECT_TRUE(QRegularExpression(QStringLiteral(",response=[0-9a-f]{32}$"))
                    .match(QString::fromLatin1(answer))
                    .hasMatch());
}

struct TJidCase {
    const char* JID;
    const char* UserName;
    const char* UserServer;
};

TEST(JabberClient, ConnectSplitsTheJidAtItsFirstAt) {
    const TJidCase cases[] = {
        {"420123@pbx.example", "420123", "pbx.example"},
        {"a@b@c", "a", "b@c"},
        {"pbx.example", "", "pbx.example"},
        {"@x", "", "x"},
    };
    for (const TJidCase& c : cases) {
        TJabberClient client;
        client.SetJabberServer(QStringLiteral("127.0.0.1"));
        client.SetJabberPort(1);
        client.SetJID(QString::fromLatin1(c.JID));
        client.Connect(1);
        EXPECT_EQ(client.UserName(), QString::fromLatin1(c.UserName)) << c.JID;
        EXPECT_EQ(client.UserServer(), QString::fromLatin1(c.UserServer)) << c.JID;
    }
}

// What the owner sees for received chunks, without a connection (so nothing is sent).
struct TDispatchCase {
    const char* Name;
    std::vector<QByteArray> Chunks;
    QStringList Events;
};

void PrintTo(const TDispatchCase& Case, std::ostream* Os) {
    *Os << Case.Name;
}

class DispatchTable : public testing::TestWithParam<TDispatchCase> {};

TEST_P(DispatchTable, RaisesTheEventsInOrder) {
    TJabberProbe client;
    TEventLog log;
    log.Attach(client);
    for (const QByteArray& chunk : GetParam().Chunks)
        client.Feed(chunk);
    EXPECT_EQ(log.Events, GetParam().Events);
    EXPECT_FALSE(client.Connected());
}

const QString kRoster = QStringLiteral("<iq type=\"result\" id=\"r1\">\r\n"
                                       "<query xmlns=\"jabber:iq:roster\">\r\n"
                                       "<item jid=\"x@y\"/>\r\n</query>\r\n</iq>\r\n");

INSTANTIATE_TEST_SUITE_P(
    JabberClient, DispatchTable,
    testing::Values(
        TDispatchCase{
            "message",
            {"<message from='x' to='y'><body>text</body></message>"},
            {"ReceiveData <message from=\"x\" to=\"y\"><body>text</body></message>",
             "Message <message from=\"x\" to=\"y\">\r\n<body>text</body>\r\n</message>\r\n"}},
        TDispatchCase{"entities stay as received",
                      {"<message type='chat'><body>a &lt; b &amp; c</body></message>"},
                      {"ReceiveData <message type=\"chat\"><body>a &lt; b &amp; c</body></message>",
                       "Message <message type=\"chat\">\r\n<body>a &lt; b &amp; c</body>\r\n"
                       "</message>\r\n"}},
        TDispatchCase{
            "apostrophe and Czech letters in the body",
            {"<message from='pbx'><body>1:Jan O'Brien:Nov\xc3\xa1kov\xc3\xa1</body></message>"},
            {"ReceiveData <message from=\"pbx\"><body>1:Jan O'Brien:Nováková</body></message>",
             "Message <message from=\"pbx\">\r\n<body>1:Jan O'Brien:Nováková</body>\r\n"
             "</message>\r\n"}},
        TDispatchCase{"a character split between chunks",
                      {"<message><body>\xc5", "\xbe\xc3", "\xa1</body></message>"},
                      {"ReceiveData <message><body>žá</body></message>",
                       "Message <message>\r\n<body>žá</body>\r\n</message>\r\n"}},
        TDispatchCase{"invalid bytes",
                      {"<message><body>a\xff</body></message>"},
                      {"ReceiveData <message><body>a\xef\xbf\xbd</body></message>",
                       "Message <message>\r\n<body>a\xef\xbf\xbd</body>\r\n</message>\r\n"}},
        TDispatchCase{"presence",
                      {"<presence from='a@b/c'><priority>5</priority></presence>"},
                      {"ReceiveData <presence from=\"a@b/c\"><priority>5</priority></presence>",
                       "Presence <presence from=\"a@b/c\">\r\n<priority>5</priority>\r\n"
                       "</presence>\r\n"}},
        TDispatchCase{
            "roster result, then a roster push",
            {"<iq type='result' id='r1'><query xmlns='jabber:iq:roster'>"
             "<item jid='x@y'/></query></iq>",
             "<iq type='set' id='r2'><query xmlns='jabber:iq:roster'/></iq>"},
            {"ReceiveData <iq type=\"result\" id=\"r1\"><query xmlns=\"jabber:iq:roster\">"
             "<item jid=\"x@y\"/></query></iq>",
             "IQ " + kRoster, "JabberOnline", "GetRoster " + kRoster,
             "ReceiveData <iq type=\"set\" id=\"r2\"><query xmlns=\"jabber:iq:roster\"/></iq>",
             "IQ <iq type=\"set\" id=\"r2\">\r\n<query xmlns=\"jabber:iq:roster\"/>\r\n</iq>\r\n",
             "GetRoster <iq type=\"set\" id=\"r2\">\r\n<query xmlns=\"jabber:iq:roster\"/>"
             "\r\n</iq>\r\n"}},
        TDispatchCase{
            "bookmarks answer",
            {"<iq type='result' id='b1'><query xmlns='jabber:iq:private'>"
             "<storage xmlns='storage:bookmarks'/></query></iq>"},
            {"ReceiveData <iq type=\"result\" id=\"b1\"><query xmlns=\"jabber:iq:private\">"
             "<storage xmlns=\"storage:bookmarks\"/></query></iq>",
             "IQ <iq type=\"result\" id=\"b1\">\r\n<query xmlns=\"jabber:iq:private\">\r\n"
             "<storage xmlns=\"storage:bookmarks\"/>\r\n</query>\r\n</iq>\r\n"}},
        TDispatchCase{"two session confirmations",
                      {"<iq type='result' id='s1'><session "
                       "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>"
                       "<iq type='result' id='s2'><session "
                       "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>"},
                      {"ReceiveData <iq type=\"result\" id=\"s1\"><session "
                       "xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/></iq>",
                       "IQ <iq type=\"result\" id=\"s1\">\r\n<session "
                       "xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/>\r\n</iq>\r\n",
                       "JabberOnline",
                       "ReceiveData <iq type=\"result\" id=\"s2\"><session "
                       "xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/></iq>",
                       "IQ <iq type=\"result\" id=\"s2\">\r\n<session "
                       "xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/>\r\n</iq>\r\n"}},
        TDispatchCase{"session error does not make the client online",
                      {"<iq type='error' id='s1'><session "
                       "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>"},
                      {"ReceiveData <iq type=\"error\" id=\"s1\"><session "
                       "xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/></iq>",
                       "IQ <iq type=\"error\" id=\"s1\">\r\n<session "
                       "xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/>\r\n</iq>\r\n"}},
        TDispatchCase{"stream header and features without a usable mechanism",
                      {"<?xml version='1.0'?><stream:stream xmlns='jabber:client' id='1'>"
                       "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                       "<mechanism>X-OAUTH2</mechanism></mechanisms></stream:features>"},
                      {"ReceiveData <stream:stream xmlns=\"jabber:client\" id=\"1\"/>",
                       "ReceiveData <stream:features><mechanisms "
                       "xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"><mechanism>X-OAUTH2"
                       "</mechanism></mechanisms></stream:features>",
                       "SecurityError Server nenabízí žádný podporovaný způsob přihlášení "
                       "(nabízí: X-OAUTH2)."}},
        TDispatchCase{"a stanza that is not XML holds back nothing after it",
                      {"junk><message><body>x</body></message>"},
                      {"ReceiveData junk>", "ReceiveData <message><body>x</body></message>",
                       "Message <message>\r\n<body>x</body>\r\n</message>\r\n"}},
        TDispatchCase{"a stream error without a connection holds back nothing after it",
                      {"<stream:error><conflict/></stream:error><presence/>"},
                      {"ReceiveData <stream:error><conflict/></stream:error>",
                       "ReceiveData <presence/>", "Presence <presence/>\r\n"}}));

// A failing handler ends its own stanza only: a call record right behind it in the
// same chunk must not wait for the next one.
TEST(JabberClient, FailingHandlerEndsOnlyItsStanza) {
    TJabberProbe client;
    QStringList messages;
    client.OnMessage = [&](TJabberClient*, const QString& Text) {
        messages << Text;
        if (messages.size() == 1)
            throw std::runtime_error("handler failed");
    };
    client.Feed("<message><body>1</body></message><message><body>2</body></message>");
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[1], QStringLiteral("<message>\r\n<body>2</body>\r\n</message>\r\n"));
}

TEST(JabberClient, FailureInTheReceiveDataHandlerReachesTheCaller) {
    TJabberProbe client;
    client.OnReceiveData = [](TJabberClient*, const QString&) {
        throw std::runtime_error("owner failed");
    };
    EXPECT_THROW(client.Feed("<presence/>"), std::runtime_error);
}

TEST(JabberClient, IncompleteTextBeyondOneMebibyteIsDropped) {
    TJabberProbe client;
    QStringList messages;
    client.OnMessage = [&](TJabberClient*, const QString& Text) {
        messages << Text;
    };
    client.Feed("<message><body>");
    client.Feed(QByteArray(1024 * 1024, 'x'));
    client.Feed("<message><body>next</body></message>");
    EXPECT_EQ(messages,
              QStringList{QStringLiteral("<message>\r\n<body>next</body>\r\n</message>\r\n")});
}

} // namespace
