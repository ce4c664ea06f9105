// Starts the real program under a private Xvfb in a copy of its folder, then
// closes it with SIGTERM as a session manager would.
#include "RealProgram.h"

#include <QDateTime>
#include <QString>
#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using EndToEnd = RealProgramTest;

// Sends the bytes to the program's local port on one connection.
void SendLines(quint16 port, const QByteArray& lines) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(s, lines.constData(), lines.size(), MSG_NOSIGNAL), lines.size());
    ::close(s);
}

TEST_F(EndToEnd, SigtermSavesBothFilesAndASecondStartRestoresThem) {
    const quint16 port = FreePort();
    const quint16 web = FreePort();
    // The help page points at a closed local port: nothing leaves the machine.
    Put(QStringLiteral("data.ini"),
        QStringLiteral("[Rozmisteni]\r\nsirka=700\r\nvyska=520\r\nzleva=30\r\nzhora=40\r\n"
                       "[jine]\r\nklic=hodnota\r\n"
                       "[pripojeni]\r\nport=%1\r\njmeno=420111222\r\nweb=127.0.0.1:%2\r\n")
            .arg(port)
            .arg(web)
            .toUtf8());
    const QByteArray earlier = "\xEF\xBB\xBF"
                               "10.12.26 9:05:01_kdo=111\r\n"
                               "10.12.26 9:05:01_nazev=\xC5\xA0imon\r\n";
    Put(QStringLiteral("historie.dat"), earlier);
    const QString ini = QStringLiteral("[Rozmisteni]\r\nsirka=700\r\nvyska=520\r\nzleva=30\r\n"
                                       "zhora=40\r\n[jine]\r\nklic=hodnota\r\n[pripojeni]\r\n"
                                       "port=%1\r\njmeno=420111222@velora.example\r\n"
                                       "web=127.0.0.1:%2\r\n")
                            .arg(port)
                            .arg(web);

    Start();
    ASSERT_FALSE(WaitForWindow().isEmpty()) << "the window did not appear";
    SendLines(port, "301:222:1:3:Prvni:http://127.0.0.1:8080/prvni\n");
    ASSERT_FALSE(WaitForWindow(QStringLiteral("301")).isEmpty()) << "no balloon for the record";
    Terminate();
    const qint64 firstEnded = QDateTime::currentSecsSinceEpoch();

    EXPECT_EQ(QString::fromUtf8(Get(QStringLiteral("data.ini"))), ini);
    const QByteArray first = Get(QStringLiteral("historie.dat"));
    ASSERT_TRUE(first.startsWith(earlier)) << first.toStdString();
    ExpectOneCallInHistory(first.mid(earlier.size()), QStringLiteral("301"),
                           QStringLiteral("Prvni"), QStringLiteral("http://127.0.0.1:8080/prvni"));

    Start();
    const QString window = WaitForWindow();
    ASSERT_FALSE(window.isEmpty()) << "the window did not appear again";
    EXPECT_EQ(Xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window})
                  .split(u'\n')
                  .mid(1, 4),
              QStringList({"X=30", "Y=40", "WIDTH=700", "HEIGHT=520"}));
    // The second call gets a time stamp of its own, a second later at least.
    while (QDateTime::currentSecsSinceEpoch() <= firstEnded)
        QThread::msleep(20);
    SendLines(port, "302:222:1:3:Druhy:http://127.0.0.1:8080/druhy\n");
    ASSERT_FALSE(WaitForWindow(QStringLiteral("302")).isEmpty()) << "the port was not restored";
    Terminate();

    EXPECT_EQ(QString::fromUtf8(Get(QStringLiteral("data.ini"))), ini);
    const QByteArray second = Get(QStringLiteral("historie.dat"));
    ASSERT_TRUE(second.startsWith(first)) << second.toStdString();
    ExpectOneCallInHistory(second.mid(first.size()), QStringLiteral("302"), QStringLiteral("Druhy"),
                           QStringLiteral("http://127.0.0.1:8080/druhy"));
}

TEST_F(EndToEnd, RecordsSentOverTcpEndUpInTheHistory) {
    const quint16 port = FreePort();
    Put(QStringLiteral("data.ini"),
        QStringLiteral("[pripojeni]\r\nport=%1\r\njmeno=1@velora.example\r\nweb=127.0.0.1:%2\r\n")
            .arg(port)
            .arg(FreePort())
            .toUtf8());
    Start();
    ASSERT_FALSE(WaitForWindow().isEmpty()) << "the window did not appear";

    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QByteArray records =
        QStringLiteral("111:222:1:3:Účetní oddělení:"
                       "http://127.0.0.1:8080/index.php?action=DetailView&record=15\n"
                       "999:222:2:3:ignored:\r\n")
            .toUtf8();
    ASSERT_EQ(::send(s, records.constData(), records.size(), MSG_NOSIGNAL), records.size());
    ::close(s);
    // Without a system tray the balloon is our popup, titled with the caller.
    ASSERT_FALSE(WaitForWindow(QStringLiteral("111")).isEmpty()) << "no balloon for the record";
    Terminate();

    // The record with event code 2 left no lines.
    ExpectOneCallInHistory(
        Get(QStringLiteral("historie.dat")), QStringLiteral("111"),
        QStringLiteral("Účetní oddělení"),
        QStringLiteral("http://127.0.0.1:8080/index.php?action=DetailView&record=15"));
}

} // namespace
