// Session control of the window, headless: the recording desktop stands in for
// the widgets, and the real XMPP client talks to a loopback peer that plays the
// server. Ticks are driven by calling Timer1Timer. Runs inside the program's
// application object, so errors escaping the real Qt timer reach its report.
#include "Application.h"
#include "ApplicationTestMain.h"
#include "Jabber.h"
#include "LoopbackServer.h"
#include "QtDesktop.h"
#include "RecordingDesktop.h"
#include "Unit1.h"
#include "VersionInfo.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

const QString kJid = QStringLiteral("420123456789@localhost");
const QString kLogin = QStringLiteral("Přihlásit");
const QString kLogout = QStringLiteral("Odhlásit");
const QByteArray kPresence = "<presence>\r\n<priority>5</priority>\r\n</presence>\r\n";
const QByteArray kHeaderEnd = "xmlns:xml=\"http://www.w3.org/XML/1998/namespace\">";
const QByteArray kSessionResult =
    "<iq type='result' id='s'><session xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>";
const QString kOnline = QStringLiteral("online");
const QString kOffline = QStringLiteral("offline");

// The status while a new login waits: "offline – nové připojení za N s".
bool IsWaiting(const QString& status) {
    return status.startsWith(QStringLiteral("offline – nové připojení za ")) &&
           status.endsWith(QStringLiteral(" s"));
}

// Writes data.ini into the folder and returns its path. The listener gets
// port 0, so that tests never compete for a fixed port.
QString WriteIni(const QTemporaryDir& dir, const QByteArray& text) {
    QFile ini(QDir(dir.path()).filePath(QStringLiteral("data.ini")));
    EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(text);
    return ini.fileName();
}

class Session : public testing::Test {
protected:
    // data.ini with the address, the loopback server, its port and any extra lines.
    void Create(const QByteArray& extra = {}, uint16_t port = 0) {
        WriteIni(Dir, "[pripojeni]\r\nport=0\r\njmeno=" + kJid.toUtf8() +
                          "\r\nserver=127.0.0.1\r\ndomena=localhost\r\nserverport=" +
                          QByteArray::number(port ? port : Server.Port()) + "\r\n" + extra);
        Form = std::make_unique<TForm1>(Desktop, Dir.path());
    }

    TJabberClient& Client() { return *Form->JabberClient1; }
    void Click() { Desktop.OnClick(TControl::Button1); }
    void Type(const QString& password) { Desktop.Captions[TControl::Edit1] = password; }

    // From start-up to Idle: the first tick belongs to the update check.
    void PassFirstTick() {
        Form->Timer1Timer();
        ASSERT_FALSE(Form->first_tick);
        ASSERT_FALSE(Desktop.TimerEnabled());
    }

    // Password typed, login clicked, a tick: the peer holds the new connection
    // and confirms a session.
    std::unique_ptr<TLoopbackPeer> GoOnline() {
        Type(QStringLiteral("tajne"));
        Click();
        Form->Timer1Timer();
        return AcceptSession();
    }
    // The next connection, logged in by the peer.
    std::unique_ptr<TLoopbackPeer> AcceptSession() {
        // The window's events and timers go on while the connection is awaited.
        std::unique_ptr<TLoopbackPeer> peer;
        WaitUntil([&] {
            if (!peer)
                peer = Server.Accept(10ms);
            return peer != nullptr;
        });
        EXPECT_NE(peer, nullptr);
        if (!peer)
            return peer;
        EXPECT_TRUE(WaitUntil([&] { return Client().Connected(); }));
        peer->Send(kSessionResult);
        EXPECT_TRUE(WaitUntil([&] { return Client().JabberOnline(); }));
        return peer;
    }

    static bool Holds(const TLoopbackPeer& peer, const QByteArray& bytes, int times = 1) {
        return WaitUntil([&] { return peer.Received().count(bytes) >= times; });
    }

    QTemporaryDir Dir;
    TLoopbackServer Server;
    TRecordingDesktop Desktop;
    std::unique_ptr<TForm1> Form;
};

TEST_F(Session, ClientIsSetUpFromTheDeployment) {
    Create();
    EXPECT_EQ(Client().JabberServer(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(Client().JabberPort(), Server.Port());
    EXPECT_EQ(Client().Resources(), QStringLiteral("velora"));
    EXPECT_EQ(Client().parent(), Form.get());
    EXPECT_EQ(Desktop.Caption(TControl::Button1), QString()); // the window's own "Přihlásit se"
}

TEST(SessionDeployment, ServerPortAndExchangeAreOptionalKeys) {
    struct Case {
        QByteArray Lines;
        QString Server;
        quint16 Port;
        QString Exchange;
    } cases[] = {
        {"", "xmpp.velora.example", 5222, ""},
        {"server=jabber.test\r\nserverport=5223\r\nustredna=Pbx@Test\r\n", "jabber.test", 5223,
         "Pbx@Test"},
        {"serverport=0x146A\r\n", "xmpp.velora.example", 5226, ""},
        {"serverport=0\r\n", "xmpp.velora.example", 5222, ""},
        {"serverport=65536\r\n", "xmpp.velora.example", 5222, ""},
        {"serverport=-5\r\n", "xmpp.velora.example", 5222, ""},
        {"serverport=pět\r\n", "xmpp.velora.example", 5222, ""},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const QString ini = WriteIni(dir, "[pripojeni]\r\nport=0\r\njmeno=1@x\r\n" + c.Lines);
        TRecordingDesktop desktop;
        TForm1 form(desktop, dir.path());
        SCOPED_TRACE(c.Lines.toStdString());
        EXPECT_EQ(form.JabberClient1->JabberServer(), c.Server);
        EXPECT_EQ(form.JabberClient1->JabberPort(), c.Port);
        EXPECT_EQ(form.Deployment().Exchange, c.Exchange);
        // Read, never written.
        form.FormClose();
        QFile written(ini);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        const QByteArray text = written.readAll();
        EXPECT_EQ(text.contains("serverport"), c.Lines.contains("serverport"));
        EXPECT_EQ(text.contains("ustredna"), c.Lines.contains("ustredna"));
    }
}

TEST_F(Session, LoginBeforeTheFirstTickWaitsForASecondClick) {
    Create();
    ASSERT_TRUE(Form->first_tick);
    const int starts = Desktop.TimerStarts;
    Type(QStringLiteral("tajne"));
    Click();
    // The values are handed over, the running timer goes on unchanged.
    EXPECT_EQ(Client().JID(), kJid);
    EXPECT_EQ(Client().Password(), QStringLiteral("tajne"));
    EXPECT_EQ(Form->jabber_heslo, QStringLiteral("tajne"));
    EXPECT_EQ(Client().Resources(), LocalComputerName() + QStringLiteral(" velora"));
    EXPECT_EQ(Desktop.TimerStarts, starts);
    EXPECT_TRUE(Desktop.TimerEnabled());

    // The first tick only runs the update check and leads to Idle.
    PassFirstTick();
    EXPECT_EQ(Server.Accept(300ms), nullptr);
    EXPECT_EQ(Desktop.Status[0], QString());

    // The second click starts a fresh interval; its tick connects.
    Click();
    EXPECT_EQ(Desktop.TimerStarts, starts + 1);
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Status[0], QStringLiteral("offline")); // still opening
    std::unique_ptr<TLoopbackPeer> peer = Server.Accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Form->jabber_online; }));
    EXPECT_FALSE(Desktop.Enabled(TControl::Edit1));
    EXPECT_EQ(Desktop.Caption(TControl::Button1), kLogout);
    EXPECT_TRUE(Holds(*peer, "to=\"localhost\""));
    EXPECT_TRUE(Desktop.TimerEnabled());

    // The stream is open but not logged in: a tick sends nothing and says so.
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Status[0], kOffline);
    // Logged in: one presence, and "online" at once.
    peer->Send(kSessionResult);
    ASSERT_TRUE(WaitUntil([&] { return Desktop.Status[0] == kOnline; }));
    EXPECT_TRUE(Holds(*peer, kPresence, 1));
    EXPECT_EQ(peer->Received().count(kPresence), 1);

    // Online: each tick shows "online" and sends presence twice.
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Status[0], kOnline);
    EXPECT_TRUE(Holds(*peer, kPresence, 3));
    Form->Timer1Timer();
    EXPECT_TRUE(Holds(*peer, kPresence, 5));
    ProcessEventsFor(100ms);
    EXPECT_EQ(peer->Received().count(kPresence), 5);
    EXPECT_EQ(Server.Accept(100ms), nullptr); // no second connection
}

TEST_F(Session, EmptyPasswordOnlyHandsTheValuesOver) {
    Create();
    PassFirstTick();
    const int starts = Desktop.TimerStarts;
    Click(); // the box is empty
    EXPECT_EQ(Client().JID(), kJid);
    EXPECT_EQ(Client().Password(), QString());
    EXPECT_EQ(Client().Resources(), LocalComputerName() + QStringLiteral(" velora"));
    EXPECT_EQ(Desktop.TimerStarts, starts);
    EXPECT_FALSE(Desktop.TimerEnabled());
    // A tick that comes anyway does not connect.
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Status[0], QStringLiteral("offline"));
    EXPECT_EQ(Server.Accept(300ms), nullptr);
}

TEST_F(Session, EventsFromTheServerSwitchTheControls) {
    Create();
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> peer = GoOnline();
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(Form->jabber_online);

    // OnPresence: the box disabled and the caption "Odhlásit", nothing else.
    Desktop.SetEnabled(TControl::Edit1, true);
    Desktop.SetCaption(TControl::Button1, QStringLiteral("x"));
    Form->jabber_online = false;
    peer->Send("<presence from='420222222222@localhost/a'/>");
    ASSERT_TRUE(WaitUntil([&] { return Desktop.Caption(TControl::Button1) == kLogout; }));
    EXPECT_FALSE(Desktop.Enabled(TControl::Edit1));
    EXPECT_FALSE(Form->jabber_online);

    // OnIQ, then OnJabberOnline for the session result: both set jabber_online.
    peer->Send("<iq type='get' id='ping1' from='localhost'/>");
    ASSERT_TRUE(WaitUntil([&] { return Form->jabber_online; }));
    Form->jabber_online = false;
    peer->Send("<iq type='result' id='s'><session "
               "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>");
    ASSERT_TRUE(WaitUntil([&] { return Form->jabber_online; }));
    EXPECT_TRUE(Form->jabber_online);
    EXPECT_TRUE(Desktop.TimerEnabled());
    EXPECT_TRUE(Desktop.Messages.isEmpty());
}

TEST(SessionDeployment, EncryptionKeysAreReadNeverWritten) {
    const struct {
        QByteArray Lines;
        TEncryption Mode;
    } cases[] = {
        {"", TEncryption::IfOffered},
        {"sifrovani=pokud-nabizi\r\n", TEncryption::IfOffered},
        {"sifrovani=vyzadovat\r\nca=/etc/velora/ca.pem\r\n", TEncryption::Required},
        {"sifrovani=NE\r\notisk=AB:CD\r\n", TEncryption::Never},
        {"sifrovani=vzdy\r\n", TEncryption::Required}, // unknown: the strictest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Lines.toStdString());
        QTemporaryDir dir;
        const QString ini = WriteIni(dir, "[pripojeni]\r\nport=0\r\njmeno=1@x\r\n" + c.Lines);
        TRecordingDesktop desktop;
        TForm1 form(desktop, dir.path());
        EXPECT_EQ(form.JabberClient1->Encryption(), c.Mode);
        form.FormClose();
        QFile written(ini);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        const QByteArray text = written.readAll();
        for (const char* key : {"sifrovani", "otisk", "ca="})
            EXPECT_EQ(text.contains(key), c.Lines.contains(key)) << key;
    }
}

TEST_F(Session, SecurityRefusalShowsTheReasonAndKeepsThePassword) {
    Create();
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> peer = GoOnline();
    ASSERT_NE(peer, nullptr);
    // Only PLAIN, and no TLS: the password would travel readable.
    peer->Send("<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
               "<mechanism>PLAIN</mechanism></mechanisms></stream:features>");
    ASSERT_TRUE(WaitUntil([&] { return !Desktop.Messages.isEmpty(); }));
    EXPECT_EQ(Desktop.Messages,
              QStringList{QStringLiteral("Server nabízí jen přihlášení, které by poslalo heslo "
                                         "nešifrovaně; bez šifrování se nepřihlásím.")});
    EXPECT_EQ(Desktop.Caption(TControl::Edit1), QStringLiteral("tajne"));
    EXPECT_TRUE(Desktop.Enabled(TControl::Edit1));
    EXPECT_FALSE(Desktop.TimerEnabled());
    EXPECT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));
    EXPECT_FALSE(peer->Received().contains("<auth"));
}

TEST_F(Session, RefusedLoginClearsTheBoxAndStops) {
    Create();
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> peer = GoOnline();
    ASSERT_NE(peer, nullptr);
    Form->Timer1Timer();
    ASSERT_EQ(Desktop.Status[0], QStringLiteral("online"));

    peer->Send("<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>");
    ASSERT_TRUE(WaitUntil([&] { return !Desktop.Messages.isEmpty(); }));
    EXPECT_EQ(Desktop.Messages, QStringList{QStringLiteral("chyba prihlaseni")});
    EXPECT_FALSE(Form->jabber_online);
    EXPECT_TRUE(Desktop.Enabled(TControl::Edit1));
    EXPECT_EQ(Desktop.Caption(TControl::Edit1), QString());
    EXPECT_EQ(Desktop.Caption(TControl::Button1), kLogin);
    EXPECT_FALSE(Desktop.TimerEnabled());
    EXPECT_EQ(Desktop.Status[0], QStringLiteral("offline"));
    EXPECT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));

    // The next click with the emptied box does nothing.
    const int starts = Desktop.TimerStarts;
    Click();
    EXPECT_EQ(Desktop.TimerStarts, starts);
    EXPECT_EQ(Server.Accept(200ms), nullptr);
}

// A lost connection, orderly or not, is followed by a new login after the backoff,
// with the wait shown; the controls switch as for any end of a session.
TEST_F(Session, LostConnectionIsReestablishedByItself) {
    Create();
    Form->Reconnect.SetSteps(100ms, 100ms);
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> peer = GoOnline();
    ASSERT_NE(peer, nullptr);
    Form->Timer1Timer();
    ASSERT_EQ(Desktop.Status[0], kOnline);

    peer->Close();
    std::unique_ptr<TLoopbackPeer> again = AcceptSession();
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(Holds(*again, kHeaderEnd));
    EXPECT_EQ(Desktop.Status[0], kOnline);
    EXPECT_EQ(Desktop.Caption(TControl::Button1), kLogout);
    EXPECT_TRUE(Desktop.TimerEnabled()); // the keep-alive ticks go on
    EXPECT_TRUE(Desktop.Messages.isEmpty());

    // While the next login waits, the status counts down and the controls are those
    // of a logged-out window; a wake-up (resume, network back) ends the wait.
    Form->Reconnect.SetSteps(60s, 60s);
    again->Reset();
    ASSERT_TRUE(WaitUntil([&] { return !Form->jabber_online; }));
    EXPECT_TRUE(IsWaiting(Desktop.Status[0])) << Desktop.Status[0].toStdString();
    EXPECT_TRUE(Form->ReconnectPending());
    EXPECT_TRUE(Desktop.Enabled(TControl::Edit1));
    EXPECT_EQ(Desktop.Caption(TControl::Edit1), QStringLiteral("tajne"));
    EXPECT_EQ(Desktop.Caption(TControl::Button1), kLogin);
    EXPECT_FALSE(Desktop.TimerEnabled());
    Form->SessionWake();
    EXPECT_FALSE(Form->ReconnectPending());
    std::unique_ptr<TLoopbackPeer> third = AcceptSession();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(Desktop.Status[0], kOnline);
    // A wake-up while online checks the session that stood before it.
    Form->SessionWake();
    EXPECT_TRUE(Holds(*third, "<ping xmlns=\"urn:xmpp:ping\"/>"));
}

// The window asks for "conflict" when the same account logged in elsewhere: it says
// so and stays offline, so that two programs do not throw each other out for ever.
TEST_F(Session, LoginTakenOverElsewhereStaysOffline) {
    Create();
    Form->Reconnect.SetSteps(10ms, 10ms);
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> peer = GoOnline();
    ASSERT_NE(peer, nullptr);
    peer->Send("<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>"
               "<text xmlns='urn:ietf:params:xml:ns:xmpp-streams'>Replaced by new connection"
               "</text></stream:error>");
    ASSERT_TRUE(WaitUntil([&] { return !Form->jabber_online; }));
    EXPECT_EQ(Desktop.Status[0], QStringLiteral("Přihlášení bylo převzato jiným připojením"));
    EXPECT_FALSE(Form->ReconnectPending());
    EXPECT_EQ(Server.Accept(300ms), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return peer->ClientClosed(); }));
}

// A server that cannot be reached is tried again and again, with the wait shown; a
// login click while waiting tries at once.
TEST_F(Session, UnreachableServerIsTriedAgainAndAClickTriesAtOnce) {
    Create({}, TLoopbackServer::RefusingPort());
    Form->Reconnect.SetSteps(60s, 60s);
    PassFirstTick();
    Type(QStringLiteral("tajne"));
    Click();
    Desktop.SetEnabled(TControl::Edit1, false);
    Form->Timer1Timer();
    ASSERT_TRUE(WaitUntil([&] { return Form->ReconnectPending(); }));
    EXPECT_FALSE(Desktop.TimerEnabled());
    EXPECT_TRUE(IsWaiting(Desktop.Status[0])) << Desktop.Status[0].toStdString();
    EXPECT_EQ(Desktop.Caption(TControl::Button1), kLogin);
    EXPECT_FALSE(Desktop.Enabled(TControl::Edit1)); // left as it was
    EXPECT_FALSE(Form->jabber_online);
    EXPECT_TRUE(Desktop.Messages.isEmpty());
    EXPECT_TRUE(Desktop.Errors.isEmpty());

    // Now at the server that listens: the click does not wait for the backoff.
    Form->JabberClient1->SetJabberPort(Server.Port());
    Click();
    EXPECT_FALSE(Form->ReconnectPending());
    std::unique_ptr<TLoopbackPeer> peer = AcceptSession();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(Desktop.Status[0], kOnline);
}

TEST_F(Session, ClickWhileOnlineReconnectsAtTheNextTick) {
    Create();
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> first = GoOnline();
    ASSERT_NE(first, nullptr);
    const int starts = Desktop.TimerStarts;

    Click();
    EXPECT_FALSE(Client().Connected());
    EXPECT_FALSE(Form->ReconnectPending()); // dropped on purpose: no backoff
    EXPECT_TRUE(Desktop.Enabled(TControl::Edit1));
    EXPECT_EQ(Desktop.Caption(TControl::Button1), kLogin);
    EXPECT_EQ(Desktop.TimerStarts, starts + 1); // stopped, then a fresh interval
    EXPECT_TRUE(Desktop.TimerEnabled());
    EXPECT_TRUE(WaitUntil([&] { return first->ClientClosed(); }));

    Form->Timer1Timer();
    std::unique_ptr<TLoopbackPeer> second = Server.Accept();
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Desktop.Caption(TControl::Button1) == kLogout; }));
    EXPECT_EQ(Client().Password(), QStringLiteral("tajne"));
    EXPECT_TRUE(Holds(*second, kHeaderEnd));
}

TEST_F(Session, SlowConnectIsLeftAloneByTheNextTick) {
    Create();
    PassFirstTick();
    Type(QStringLiteral("tajne"));
    Click();
    // The first attempt reaches the server, but the next tick comes before the
    // window has heard of it (no events are handled in between): it goes on.
    Form->Timer1Timer();
    std::unique_ptr<TLoopbackPeer> a = Server.Accept();
    ASSERT_NE(a, nullptr);
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Status[0], kOffline);
    ASSERT_TRUE(WaitUntil([&] { return Form->jabber_online; }));
    EXPECT_TRUE(Holds(*a, kHeaderEnd));
    EXPECT_EQ(Server.Accept(300ms), nullptr);
    EXPECT_FALSE(a->ClientClosed());
    EXPECT_TRUE(Client().Connected());
    EXPECT_EQ(Desktop.Caption(TControl::Button1), kLogout);
    EXPECT_TRUE(Desktop.TimerEnabled());
}

TEST_F(Session, UserChangeWaitsForTheNextLoginClick) {
    Create();
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> first = GoOnline();
    ASSERT_NE(first, nullptr);
    const QString label = Desktop.Caption(TControl::Label2);

    Desktop.InputAnswers = {QStringLiteral("420999888777")};
    Desktop.OnClick(TControl::U6ivatel1);
    ASSERT_EQ(Desktop.Prompts.size(), 1u);
    EXPECT_EQ(Desktop.Prompts[0].Title, QStringLiteral("Telefonni cislo"));
    EXPECT_EQ(Desktop.Prompts[0].Text,
              QStringLiteral("Zadejte telefonni číslo včetně mezinárodní předvolby"));
    EXPECT_EQ(Desktop.Prompts[0].Default, QStringLiteral("00420"));
    EXPECT_EQ(Form->jabber_jmeno, QStringLiteral("420999888777@localhost"));
    // Nothing else changes: the session, the client's address and the label.
    EXPECT_EQ(Client().JID(), kJid);
    EXPECT_EQ(Desktop.Caption(TControl::Label2), label);
    Form->Timer1Timer();
    EXPECT_EQ(Desktop.Status[0], kOnline);

    // The next click drops the session and reconnects under the new address.
    Click();
    EXPECT_EQ(Client().JID(), QStringLiteral("420999888777@localhost"));
    EXPECT_TRUE(WaitUntil([&] { return first->ClientClosed(); }));
    Form->Timer1Timer();
    std::unique_ptr<TLoopbackPeer> second = Server.Accept();
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Client().Connected(); }));
    EXPECT_EQ(Client().UserName(), QStringLiteral("420999888777"));
}

TEST_F(Session, MessagesFromTheExchangeBecomeCallRecords) {
    Create("ustredna=PBX@localhost\r\n");
    PassFirstTick();
    std::unique_ptr<TLoopbackPeer> peer = GoOnline();
    ASSERT_NE(peer, nullptr);
    // A stranger's record is dropped silently; the exchange's is handled as a
    // listener line would be, accented letters intact.
    peer->Send("<message from='420333@localhost/x' type='chat'><body>333:1:1:2:Cizi:"
               "http://a</body></message>");
    peer->Send("<message from='pbx@localhost/ustredna' type='chat'><body>111:222:1:3:"
               "\xc3\x9a\xc4\x8d"
               "etn\xc3\xad:http://crm/x?action=DetailView&amp;record=15"
               "</body></message>");
    ASSERT_TRUE(WaitUntil([&] { return !Desktop.Balloons.empty(); }));
    ProcessEventsFor(100ms);
    ASSERT_EQ(Desktop.Balloons.size(), 1u);
    EXPECT_EQ(Desktop.Balloons[0].Title, QStringLiteral("111"));
    EXPECT_EQ(Desktop.Balloons[0].Text, QStringLiteral("Účetní"));
    EXPECT_EQ(Form->last_odkaz, QStringLiteral("http://crm/x?action=DetailView&record=15"));
    EXPECT_EQ(Form->history_list.Lines().size(), 4);
    EXPECT_TRUE(Desktop.Errors.isEmpty());
}

TEST_F(Session, UserMenuKeepsAGivenDomainAndCancelGivesTheDefault) {
    Create();
    Desktop.InputAnswers = {QStringLiteral("5@jinde.test"), std::nullopt};
    Form->U6ivatel1Click();
    EXPECT_EQ(Form->jabber_jmeno, QStringLiteral("5@jinde.test"));
    Form->U6ivatel1Click();
    EXPECT_EQ(Form->jabber_jmeno, QStringLiteral("00420@localhost"));
}

TEST_F(Session, ExchangeAddressFiltersSenders) {
    struct Case {
        QString Stanza;
        bool FromExchange;
    } cases[] = {
        {"<message from=\"ustredna@localhost/pbx\" to=\"a@b\">\r\n<body>1</body>\r\n</message>\r\n",
         true},
        {"<message from=\"USTREDNA@LocalHost\">\r\n<body>1</body>\r\n</message>\r\n", true},
        {"<message xml:lang=\"cs\" x:y=\"1\" from=\"ustredna@localhost/a/b\"/>\r\n", true},
        {"<message from=\"jiny@localhost/pbx\">\r\n<body>1</body>\r\n</message>\r\n", false},
        {"<message from=\"ustredna@localhost.example/pbx\"/>\r\n", false},
        {"<message from=\"localhost\"/>\r\n", false},
        {"<message to=\"ustredna@localhost\">\r\n<body>1</body>\r\n</message>\r\n", false},
        {"not xml at all", false},
        {"", false},
    };
    Create("ustredna=Ustredna@Localhost\r\n");
    TRecordingDesktop open;
    QTemporaryDir dir;
    WriteIni(dir, "[pripojeni]\r\nport=0\r\njmeno=1@x\r\n");
    TForm1 everyone(open, dir.path()); // no key: every sender passes
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Stanza.toStdString());
        EXPECT_EQ(Form->IsFromExchange(c.Stanza), c.FromExchange);
        EXPECT_TRUE(everyone.IsFromExchange(c.Stanza));
    }
}

// The Qt timer behind Timer1, as the session relies on it.
TEST(SessionTimer, EnablingARunningTimerKeepsItsInterval) {
    TQtDesktop desktop;
    auto* timer = desktop.findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);
    timer->setTimerType(Qt::PreciseTimer); // so that remainingTime() is exact
    desktop.SetTimerInterval(10000);
    desktop.SetTimerEnabled(true);
    QThread::msleep(200);
    desktop.SetTimerEnabled(true);
    EXPECT_LE(timer->remainingTime(), 9850);
    // Stopped and started, it counts a fresh interval from the start: at most the
    // time measured around it has gone, however slow the machine.
    desktop.SetTimerEnabled(false);
    QElapsedTimer restarted;
    restarted.start();
    desktop.SetTimerEnabled(true);
    const int remaining = timer->remainingTime();
    EXPECT_GE(remaining, 10000 - restarted.elapsed() - 1);
}

TEST(SessionTimer, TicksGoOnInModalBoxesAndAfterAnError) {
    TQtDesktop desktop;
    QStringList reported;
    gApp->OnException = [&](const QString& text) {
        reported << text;
    };
    int ticks = 0;
    desktop.OnTimer = [&] {
        if (++ticks == 1)
            throw std::runtime_error("update check failed");
    };
    int ticksInBox = -1;
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (box && ticks >= 4) {
            ticksInBox = ticks;
            box->close();
        }
    });
    closer.start();
    desktop.SetTimerInterval(10);
    desktop.SetTimerEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 1; }, 5s));
    desktop.MessageBox(QStringLiteral("modal")); // returns once ticks came while it was open
    EXPECT_GE(ticksInBox, 4);
    EXPECT_TRUE(reported.contains(QStringLiteral("update check failed")));
    EXPECT_TRUE(desktop.TimerEnabled());
    gApp->OnException = nullptr;
}

// The first tick asks about the update inside its own handler; the ticks that
// fall due meanwhile are still handled, as ordinary ticks.
TEST(SessionTimer, TicksGoOnWhileATickHandlerWaitsInAModalBox) {
    TQtDesktop desktop;
    int ticks = 0;
    int ticksInBox = -1;
    desktop.OnTimer = [&] {
        if (++ticks == 1) {
            desktop.MessageBox(QStringLiteral("update?"));
            ticksInBox = ticks - 1;
        }
    };
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (box && ticks >= 4)
            box->close();
    });
    closer.start();
    desktop.SetTimerInterval(10);
    desktop.SetTimerEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return ticksInBox >= 0; }, 5s));
    EXPECT_GE(ticksInBox, 3);
    desktop.SetTimerEnabled(false);
}

} // namespace
