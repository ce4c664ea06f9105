// The real program against the private ejabberd on 127.0.0.1, under a private
// Xvfb: a person types the password and presses Enter, the server sees the
// session, a second account sends a call record, and after SIGTERM the record is
// in historie.dat. Everything is read from the outside: the server's side, the
// windows on the display and the files.
#include "HttpFixture.h"
#include "Jabber.h"
#include "PrivateEjabberd.h"
#include "RealProgram.h"
#include "VersionInfo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Polls Condition every half second, at most Tries times, handling this
// process's events in between.
bool Eventually(const std::function<bool()>& Condition, int Tries = 40) {
    for (int i = 0; i < Tries; ++i) {
        if (Condition())
            return true;
        const QDeadlineTimer pause(500);
        while (!pause.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return Condition();
}

class SessionEndToEnd : public RealProgramTest {
protected:
    void SetUp() override {
        const QString server = qEnvironmentVariable("VELORA_EJABBERD_DIR");
        ASSERT_FALSE(server.isEmpty()) << "run through CTest: the ejabberd fixture is needed";
        ReadEndpoint(QDir(server).filePath(QStringLiteral("endpoint")));
        Ctl = QDir(server).filePath(QStringLiteral("ctl"));
        ASSERT_FALSE(Endpoint.isEmpty()) << "the ejabberd fixture wrote no endpoint";
        RealProgramTest::SetUp();
    }

    void ReadEndpoint(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                Endpoint[QString::fromUtf8(line.left(eq))] = QString::fromUtf8(line.mid(eq + 1));
        }
    }
    QString Jid(int n) const {
        return Endpoint.value(QStringLiteral("user%1").arg(n)) + u'@' +
               Endpoint.value(QStringLiteral("domain"));
    }

    // A second client on account N, logged in.
    std::unique_ptr<TJabberClient> Account(int n) {
        auto client = std::make_unique<TJabberClient>();
        client->SetJabberServer(QStringLiteral("127.0.0.1"));
        client->SetJabberPort(Endpoint.value(QStringLiteral("port")).toUShort());
        client->SetJID(Jid(n));
        client->SetPassword(Endpoint.value(QStringLiteral("password%1").arg(n)));
        client->Connect(1);
        EXPECT_TRUE(Eventually([&] { return client->JabberOnline(); }))
            << "account " << n << " did not log in";
        return client;
    }
    QStringList ConnectedUsers() {
        return Run(Ctl, {QStringLiteral("connected_users")}).split(u'\n', Qt::SkipEmptyParts);
    }

    QMap<QString, QString> Endpoint;
    QString Ctl;
    // The product web server: it sees the first tick's update check.
    THttpFixture Http;
};

TEST_F(SessionEndToEnd, LogsInByThePasswordBoxAndTakesCallRecordsFromTheExchange) {
    // The second account plays the exchange; its address is given in another
    // case, and messages from the third account are not call records.
    Put(QStringLiteral("data.ini"),
        QStringLiteral("[pripojeni]\r\nport=%1\r\njmeno=%2\r\nserver=127.0.0.1\r\n"
                       "serverport=%3\r\ndomena=%4\r\nweb=127.0.0.1:%5\r\nustredna=%6\r\n")
            .arg(FreePort())
            .arg(Endpoint.value(QStringLiteral("user1")))
            .arg(Endpoint.value(QStringLiteral("port")))
            .arg(Endpoint.value(QStringLiteral("domain")))
            .arg(Http.Port())
            .arg(Jid(2).toUpper())
            .toUtf8());
    ASSERT_TRUE(QDir(Http.Root()).mkpath(QStringLiteral("ustredna/velora")));
    Http.Put(QStringLiteral("ustredna/velora/index.php"),
             "<html><head>\r\n<META NAME=\"wuProduct\" CONTENT=\"Velora\">\r\n"
             "<META NAME=\"wuVersion\" CONTENT=\"" +
                 VersionMajorMinor().toUtf8() + "\">\r\n</head></html>\r\n");
    Start();
    QString window;
    ASSERT_TRUE(Eventually([&] {
        return !(window = FindWindow(QStringLiteral("Velora"))).isEmpty();
    })) << "the window did not appear";
    // The first tick, 5 s after start, belongs to the update check; a login
    // before it has returned needs a second press. The page offers the version
    // that runs, so no prompt comes.
    ASSERT_TRUE(Eventually([&] {
        return Http.RequestLines().contains(
            QStringLiteral("GET /ustredna/velora/index.php HTTP/1.0"));
    })) << "the first tick's update check did not come";

    // The window takes the keyboard focus, which Qt hands to the first control
    // in the tab order, the password box; type and press Enter.
    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    Xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("40"),
             Endpoint.value(QStringLiteral("password1"))});

    // The next tick connects; the server sees the session with the resource
    // "<computer name> velora". A press that came while the check was still
    // running is lost, so Enter is pressed again while the session is missing.
    const QString session = Jid(1) + u'/' + LocalComputerName() + QStringLiteral(" velora");
    bool listed = false;
    for (int press = 0; press < 3 && !listed; ++press) {
        Xdotool({QStringLiteral("key"), QStringLiteral("Return")});
        listed = Eventually([&] { return ConnectedUsers().contains(session); });
    }
    ASSERT_TRUE(listed) << ConnectedUsers().join(u' ').toStdString();

    // A stranger's message is ignored; the exchange's becomes a call record.
    const auto stranger = Account(3);
    stranger->SendMessage(Jid(1), QStringLiteral("chat"),
                          QStringLiteral("333:444:1:2:Cizi:http://crm.velora.example/x"));
    // A handled stranger's record would show as four more lines, even in the
    // same second: every call gets a key of its own.
    const auto exchange = Account(2);
    exchange->SendMessage(Jid(1), QStringLiteral("chat"),
                          QStringLiteral("777123456:420111111111:1:3:Účetní oddělení:"
                                         "http://crm.velora.example/index.php?action=DetailView"
                                         "&record=15"));
    // Without a system tray the balloon is the program's popup, titled with the caller.
    EXPECT_TRUE(Eventually([&] { return !FindWindow(QStringLiteral("777123456")).isEmpty(); }))
        << "no balloon for the record";
    // Still logged in: the keep-alive ticks go on.
    QThread::msleep(6000);
    EXPECT_TRUE(ConnectedUsers().contains(session));
    Terminate();

    ExpectOneCallInHistory(
        Get(QStringLiteral("historie.dat")), QStringLiteral("777123456"),
        QStringLiteral("Účetní oddělení"),
        QStringLiteral("http://crm.velora.example/index.php?action=DetailView&record=15"));
}

// The server restarts under the logged-in program (killed, as in a crash): the
// program logs in again by itself, and a call record sent afterwards arrives as a
// balloon without anybody clicking. The server is the test's own, so that killing it
// disturbs no other test.
class SessionRestartEndToEnd : public RealProgramTest {};

TEST_F(SessionRestartEndToEnd, CallAfterAServerRestartArrivesWithoutAClick) {
    TPrivateEjabberd server;
    ASSERT_TRUE(server.Start()) << server.Log().toStdString();
    Put(QStringLiteral("data.ini"),
        QStringLiteral("[pripojeni]\r\nport=%1\r\njmeno=%2\r\nserver=127.0.0.1\r\n"
                       "serverport=%3\r\ndomena=%4\r\nweb=127.0.0.1:%5\r\n")
            .arg(FreePort())
            .arg(server.User(1))
            .arg(server.Port())
            .arg(server.Domain())
            .arg(FreePort())
            .toUtf8());
    Start();
    QString window;
    ASSERT_TRUE(Eventually([&] {
        return !(window = FindWindow(QStringLiteral("Velora"))).isEmpty();
    })) << "the window did not appear";
    // The password box has the focus; a press while the first tick's update check
    // runs is lost, so Enter is pressed again while the session is missing.
    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    Xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("40"),
             server.Password(1)});
    const QString session = server.Jid(1) + u'/' + LocalComputerName() + QStringLiteral(" velora");
    bool listed = false;
    for (int press = 0; press < 3 && !listed; ++press) {
        Xdotool({QStringLiteral("key"), QStringLiteral("Return")});
        listed = Eventually([&] { return server.ConnectedUsers().contains(session); });
    }
    ASSERT_TRUE(listed) << server.ConnectedUsers().join(u' ').toStdString();

    server.Kill();
    ASSERT_TRUE(server.Restart());
    // Back by itself, with the default backoff.
    ASSERT_TRUE(Eventually([&] { return server.ConnectedUsers().contains(session); }, 240))
        << "the program did not log in again";

    auto exchange = std::make_unique<TJabberClient>();
    exchange->SetJabberServer(QStringLiteral("127.0.0.1"));
    exchange->SetJabberPort(server.Port());
    exchange->SetJID(server.Jid(2));
    exchange->SetPassword(server.Password(2));
    exchange->Connect(1);
    ASSERT_TRUE(Eventually([&] { return exchange->JabberOnline(); }));
    exchange->SendMessage(server.Jid(1), QStringLiteral("chat"),
                          QStringLiteral("777000111:420111111111:1:3:Po restartu:"
                                         "http://crm.velora.example/?record=7"));
    EXPECT_TRUE(Eventually([&] { return !FindWindow(QStringLiteral("777000111")).isEmpty(); }))
        << "no balloon for the record sent after the restart";
    Terminate();
}

} // namespace
