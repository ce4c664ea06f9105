// The call history through the real program under a private Xvfb: calls sent to the line
// listener, the program ended with SIGTERM, historie.dat and data.ini looked at afterwards.
#include "RealProgram.h"

#include <QFileDevice>
#include <QRegularExpression>
#include <QString>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class HistoryEndToEnd : public RealProgramTest {
protected:
    // A data.ini with a free listener port and a help page on a closed local port.
    void PutSettings() {
        Port = FreePort();
        Put(QStringLiteral("data.ini"), QStringLiteral("[pripojeni]\r\nport=%1\r\njmeno=1@velora."
                                                       "example\r\nweb=127.0.0.1:%2\r\n")
                                            .arg(Port)
                                            .arg(FreePort())
                                            .toUtf8());
    }
    void Send(const QByteArray& lines) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(Port);
        ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::send(s, lines.constData(), lines.size(), MSG_NOSIGNAL), lines.size());
        ::close(s);
    }
    QStringList HistoryLines() {
        return QString::fromUtf8(Get(QStringLiteral("historie.dat")))
            .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }

    // The id of that window once mapped, within about five seconds; else empty.
    QString WaitForWindowBriefly(const QString& title) {
        for (int i = 0; i < 10; ++i) {
            const QString id = FindWindow(title);
            if (!id.isEmpty())
                return id;
            QThread::msleep(500);
        }
        return {};
    }

    quint16 Port = 0;
};

TEST_F(HistoryEndToEnd, TwoCallsInOneSecondKeepEightLines) {
    PutSettings();
    Start();
    ASSERT_FALSE(WaitForWindow().isEmpty()) << "the window did not appear";
    Send("111:2:1:1:Jana:http://127.0.0.1/1\n222:2:1:1:Petr:http://127.0.0.1/2\n");
    // Without a system tray the balloon is our popup, titled with the caller.
    ASSERT_FALSE(WaitForWindow(QStringLiteral("222")).isEmpty()) << "no balloon for the call";
    Terminate();

    const QStringList lines = HistoryLines();
    ASSERT_EQ(lines.size(), 8) << lines.join(u'|').toStdString();
    const QString first = lines[0].section(QStringLiteral("_kdo="), 0, 0);
    const QString second = lines[4].section(QStringLiteral("_kdo="), 0, 0);
    const QString secondStamp = second.section(QStringLiteral(" #"), 0, 0);
    // Within one second the second call's key is the time stamp followed by " #2".
    EXPECT_TRUE(second == first + QStringLiteral(" #2") ||
                (secondStamp != first && second == secondStamp))
        << lines.join(u'|').toStdString();
    EXPECT_EQ(
        lines,
        (QStringList{first + "_kdo=111", first + "_nazev=Jana", first + "_odkaz=http://127.0.0.1/1",
                     first + "_cas=" + first, second + "_kdo=222", second + "_nazev=Petr",
                     second + "_odkaz=http://127.0.0.1/2", second + "_cas=" + secondStamp}));
}

TEST_F(HistoryEndToEnd, ANameWithACarriageReturnLoadsBackAsTheSameEntries) {
    PutSettings();
    Start();
    ASSERT_FALSE(WaitForWindow().isEmpty()) << "the window did not appear";
    Send("111:2:1:1:Jana\rT_kdo=666:http://127.0.0.1/1\n");
    ASSERT_FALSE(WaitForWindow(QStringLiteral("111")).isEmpty()) << "no balloon for the call";
    Terminate();
    const QByteArray saved = Get(QStringLiteral("historie.dat"));
    ExpectOneCallInHistory(saved, QStringLiteral("111"), QStringLiteral("Jana T_kdo=666"),
                           QStringLiteral("http://127.0.0.1/1"));

    // The next run reads the same four entries and writes them back unchanged.
    Start();
    ASSERT_FALSE(WaitForWindow().isEmpty()) << "the window did not appear again";
    Terminate();
    EXPECT_EQ(Get(QStringLiteral("historie.dat")), saved);
}

TEST_F(HistoryEndToEnd, ReadOnlySettingsGoToTheUserFolderAndTheCallsAreKept) {
    PutSettings();
    const QString settings = QDir(Folder.path()).filePath(QStringLiteral("data.ini"));
    ASSERT_TRUE(QFile::setPermissions(settings, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                                    QFileDevice::ReadOther));
    const QString config = QDir(Folder.path()).filePath(QStringLiteral("config"));
    const QString home = QDir(Folder.path()).filePath(QStringLiteral("home"));
    ASSERT_TRUE(QDir().mkpath(config) && QDir().mkpath(home));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), Display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    QString program = Exe;
    QStringList arguments;
    if (::geteuid() == 0) {
        // Root writes read-only files; the program runs as nobody, for whom the file is
        // read-only and the folders writable.
        for (const QString& path : {Folder.path(), config, home})
            ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::Permissions(0x7777)));
        program = QStringLiteral("setpriv");
        arguments = {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                     QStringLiteral("--clear-groups"), Exe};
    }
    Velora.setProcessEnvironment(env);
    Velora.setWorkingDirectory(Folder.path());
    Velora.start(program, arguments);
    ASSERT_TRUE(Velora.waitForStarted(10000));
    ASSERT_FALSE(WaitForWindow().isEmpty()) << "the window did not appear";
    Send("111:2:1:1:Jana:http://127.0.0.1/1\n");
    ASSERT_FALSE(WaitForWindow(QStringLiteral("111")).isEmpty()) << "no balloon for the call";

    Velora.terminate();
    ASSERT_TRUE(Velora.waitForFinished(30000)) << "SIGTERM did not end the program";
    EXPECT_EQ(Velora.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Velora.exitCode(), 0);

    ExpectOneCallInHistory(Get(QStringLiteral("historie.dat")), QStringLiteral("111"),
                           QStringLiteral("Jana"), QStringLiteral("http://127.0.0.1/1"));
    EXPECT_FALSE(Get(QStringLiteral("data.ini")).contains("sirka="));
    const QString fallback = QDir(config).filePath(QStringLiteral("velora/data.ini"));
    QFile user(fallback);
    ASSERT_TRUE(user.open(QIODevice::ReadOnly)) << "nothing in the per-user folder";
    const QByteArray written = user.readAll();
    EXPECT_TRUE(written.contains("sirka=")) << written.constData();
    EXPECT_TRUE(written.contains(QStringLiteral("port=%1\r\n").arg(Port).toUtf8()));
    const QString error = QString::fromLocal8Bit(Velora.readAllStandardError());
    EXPECT_TRUE(error.contains(QStringLiteral("Nastavení se nepodařilo uložit do souboru %1. "
                                              "Uloženo je místo toho v souboru %2.")
                                   .arg(settings, fallback)))
        << error.toStdString();
}

// A listener on a free loopback port that plays the CRM: it takes connections and reads the
// first line a client sends.
class CrmServer {
public:
    CrmServer() {
        FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(FSocket, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(FSocket, 8) == 0 &&
            ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            FPort = ntohs(address.sin_port);
    }
    ~CrmServer() { ::close(FSocket); }
    CrmServer(const CrmServer&) = delete;
    CrmServer& operator=(const CrmServer&) = delete;

    quint16 Port() const { return FPort; }
    // The request lines received so far ("GET /path HTTP/1.1").
    QStringList Requests() {
        for (int client; (client = ::accept(FSocket, nullptr, nullptr)) >= 0;) {
            timeval wait{5, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            char buffer[2048];
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n > 0)
                FRequests << QString::fromLatin1(buffer, n).section(QStringLiteral("\r\n"), 0, 0);
            ::close(client);
        }
        return FRequests;
    }

private:
    int FSocket = -1;
    quint16 FPort = 0;
    QStringList FRequests;
};

TEST_F(HistoryEndToEnd, HistoryWindowFromTheMenuFiltersAndOpensTheCall) {
    CrmServer crm;
    ASSERT_NE(crm.Port(), 0);
    const QString link = QStringLiteral("http://127.0.0.1:%1/").arg(crm.Port());
    PutSettings();
    Put(QStringLiteral("historie.dat"),
        (QStringLiteral("1.12.2026 8:00:00_kdo=111\r\n1.12.2026 8:00:00_nazev=Účetní "
                        "oddělení\r\n1.12.2026 8:00:00_odkaz=%1ucetni\r\n1.12.2026 "
                        "8:00:00_cas=1.12.2026 8:00:00\r\n2.12.2026 9:00:00_kdo=222\r\n2.12.2026 "
                        "9:00:00_nazev=Petr\r\n2.12.2026 9:00:00_odkaz=%1petr\r\n")
             .arg(link))
            .toUtf8());
    Start();
    const QString window = WaitForWindow();
    ASSERT_FALSE(window.isEmpty()) << "the window did not appear";

    // "O programu" is the menu bar's first entry; "Hovory" is the next one to the right.
    Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QStringLiteral("30"),
             QStringLiteral("10"), QStringLiteral("click"), QStringLiteral("1")});
    QString history;
    for (int i = 0; i < 20 && history.isEmpty(); ++i) {
        Xdotool({QStringLiteral("key"), QStringLiteral("Right"), QStringLiteral("Return")});
        history = WaitForWindowBriefly(QStringLiteral("Historie hovorů"));
        if (history.isEmpty())
            Xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                     QStringLiteral("30"), QStringLiteral("10"), QStringLiteral("click"),
                     QStringLiteral("1")});
    }
    ASSERT_FALSE(history.isEmpty()) << "the history window did not open from the menu";

    Xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), history});
    Xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("50"),
             QStringLiteral("ucetni")});
    Xdotool({QStringLiteral("key"), QStringLiteral("Return")});
    QStringList requests;
    for (int i = 0; i < 120 && requests.isEmpty(); ++i) {
        QThread::msleep(250);
        requests = crm.Requests();
    }
    ASSERT_FALSE(requests.isEmpty()) << "the web view opened nothing";
    EXPECT_TRUE(requests[0].startsWith(QStringLiteral("GET /ucetni ")))
        << requests[0].toStdString();
    Terminate();
}

} // namespace
