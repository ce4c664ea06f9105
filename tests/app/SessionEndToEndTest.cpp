// The real program against the private ejabberd on 127.0.0.1, under a private
// Xvfb: a person types the password and presses Enter, the server sees the
// session, a second account sends a call record, and after SIGTERM the record is
// in historie.dat. Everything is read from the outside: the server's side, the
// windows on the display and the files.
#include "Jabber.h"
#include "VersionInfo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A port nobody listens on right now.
quint16 FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(s);
    return ntohs(address.sin_port);
}

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

class SessionEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "Xvfb and xdotool are installed by scripts/setup";
        const QString server = qEnvironmentVariable("VELORA_EJABBERD_DIR");
        ASSERT_FALSE(server.isEmpty()) << "run through CTest: the ejabberd fixture is needed";
        ReadEndpoint(QDir(server).filePath(QStringLiteral("endpoint")));
        Ctl = QDir(server).filePath(QStringLiteral("ctl"));
        ASSERT_FALSE(Endpoint.isEmpty()) << "the ejabberd fixture wrote no endpoint";

        Xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")});
        for (int i = 0; i < 100 && Display.isEmpty(); ++i) {
            Xvfb.waitForReadyRead(100);
            const QByteArray out = Xvfb.readAllStandardOutput().trimmed();
            if (!out.isEmpty())
                Display = QStringLiteral(":") + QString::fromLatin1(out);
        }
        ASSERT_FALSE(Display.isEmpty()) << "Xvfb did not start";
        Exe = QDir(Folder.path()).filePath(QStringLiteral("velora"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(VELORA_EXE), Exe));
    }

    void TearDown() override {
        if (Velora.state() != QProcess::NotRunning) {
            Velora.kill();
            Velora.waitForFinished(5000);
        }
        if (Xvfb.state() != QProcess::NotRunning) {
            Xvfb.terminate();
            Xvfb.waitForFinished(5000);
        }
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

    void Put(const QString& name, const QByteArray& bytes) {
        QFile file(QDir(Folder.path()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray Get(const QString& name) {
        QFile file(QDir(Folder.path()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Runs a program to its end (at most 30 s) and returns its standard output.
    QString Run(const QString& program, const QStringList& arguments) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), Display);
        p.setProcessEnvironment(env);
        p.start(program, arguments);
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    QString Xdotool(const QStringList& arguments) {
        return Run(QStringLiteral("xdotool"), arguments).trimmed();
    }
    // The id of a visible window with exactly that title, or empty.
    QString FindWindow(const QString& title) {
        return Xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                        QStringLiteral("--name"), u'^' + title + u'$'})
            .section(u'\n', 0, 0);
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

    void Start() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), Display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        Velora.setProcessEnvironment(env);
        Velora.setWorkingDirectory(Folder.path());
        Velora.setProcessChannelMode(QProcess::ForwardedChannels);
        Velora.start(Exe, {});
        ASSERT_TRUE(Velora.waitForStarted(10000));
    }

    void Terminate() {
        Velora.terminate(); // SIGTERM
        ASSERT_TRUE(Velora.waitForFinished(30000));
        EXPECT_EQ(Velora.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(Velora.exitCode(), 0);
    }

    QMap<QString, QString> Endpoint;
    QString Ctl;
    QTemporaryDir Folder;
    QString Exe;
    QString Display;
    QProcess Xvfb;
    QProcess Velora;
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
            .arg(FreePort())
            .arg(Jid(2).toUpper())
            .toUtf8());
    Start();
    QString window;
    ASSERT_TRUE(Eventually([&] {
        return !(window = FindWindow(QStringLiteral("Velora"))).isEmpty();
    })) << "the window did not appear";
    // The first tick, 5 s after start, belongs to the update check; a login
    // before it would need a second press.
    QThread::msleep(6000);

    // Click into the password box (it sits left on the banner, under the menu),
    // type, press Enter.
    Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QStringLiteral("150"),
             QStringLiteral("66"), QStringLiteral("click"), QStringLiteral("1")});
    Xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("40"),
             Endpoint.value(QStringLiteral("password1"))});
    Xdotool({QStringLiteral("key"), QStringLiteral("Return")});

    // The next tick connects; the server sees the session with the resource
    // "<computer name> velora".
    const QString session = Jid(1) + u'/' + LocalComputerName() + QStringLiteral(" velora");
    ASSERT_TRUE(Eventually([&] { return ConnectedUsers().contains(session); }))
        << ConnectedUsers().join(u' ').toStdString();

    // A stranger's message is ignored; the exchange's becomes a call record.
    const auto stranger = Account(3);
    stranger->SendMessage(Jid(1), QStringLiteral("chat"),
                          QStringLiteral("333:444:1:2:Cizi:http://crm.velora.example/x"));
    // A second later, so that a handled stranger's record would have a time
    // stamp of its own and show as four more lines.
    Eventually([] { return false; }, 3);
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

    const QStringList lines = QString::fromUtf8(Get(QStringLiteral("historie.dat")))
                                  .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << lines.join(u'|').toStdString();
    const QStringList expected = {
        QStringLiteral("_kdo=777123456"), QStringLiteral("_nazev=Účetní oddělení"),
        QStringLiteral("_odkaz=http://crm.velora.example/index.php?action=DetailView&record=15"),
        QStringLiteral("_cas=")};
    for (int i = 0; i < 4; ++i) {
        const QString time = lines[i].left(lines[i].indexOf(u'_'));
        EXPECT_FALSE(time.isEmpty());
        EXPECT_EQ(lines[i].mid(time.size()).left(expected[i].size()), expected[i]) << i;
    }
    EXPECT_EQ(lines[3], lines[3].left(lines[3].indexOf(u'_')) + QStringLiteral("_cas=") +
                            lines[3].left(lines[3].indexOf(u'_')));
}

} // namespace
