// Starts the real program under a private Xvfb in a copy of its folder, then
// closes it with SIGTERM as a session manager would.
#include "TextFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A port nobody listens on right now, below the kernel's ephemeral range so
// that no other test's listener on port 0 is handed it meanwhile.
quint16 FreePort() {
    static std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<quint16>(20000 + random() % 12000);
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(s);
        if (free)
            return port;
    }
    return 0;
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "Xvfb and xdotool are installed by scripts/setup";
        // -displayfd makes Xvfb pick a free display and print its number.
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

    void Put(const QString& name, const QByteArray& bytes) {
        QFile file(QDir(Folder.path()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray Get(const QString& name) {
        QFile file(QDir(Folder.path()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

    // True once a window of that title is mapped, within about 30 seconds.
    bool WaitForWindow(const QString& title = QStringLiteral("Velora")) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), Display);
        for (int i = 0; i < 60; ++i) {
            QProcess search;
            search.setProcessEnvironment(env);
            search.start(QStringLiteral("xdotool"),
                         {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                          QStringLiteral("--name"), u'^' + title + u'$'});
            search.waitForFinished(5000);
            if (search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty())
                return true;
            if (Velora.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(500);
        }
        return false;
    }

    void Terminate() {
        Velora.terminate(); // SIGTERM
        ASSERT_TRUE(Velora.waitForFinished(30000));
        EXPECT_EQ(Velora.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(Velora.exitCode(), 0);
    }

    QTemporaryDir Folder;
    QString Exe;
    QString Display;
    QProcess Xvfb;
    QProcess Velora;
};

TEST_F(EndToEnd, SigtermClosesTheWindowAndWritesBothFiles) {
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
    Put(QStringLiteral("historie.dat"), "\xEF\xBB\xBF"
                                        "10.12.26 9:05:01_kdo=111\r\n"
                                        "10.12.26 9:05:01_nazev=\xC5\xA0imon\r\n");
    Start();
    ASSERT_TRUE(WaitForWindow()) << "the window did not appear";
    Terminate();

    const QString ini = QString::fromUtf8(Get(QStringLiteral("data.ini")));
    EXPECT_EQ(ini, QStringLiteral("[Rozmisteni]\r\nsirka=700\r\nvyska=520\r\nzleva=30\r\n"
                                  "zhora=40\r\n[jine]\r\nklic=hodnota\r\n[pripojeni]\r\n"
                                  "port=%1\r\njmeno=420111222@velora.example\r\n"
                                  "web=127.0.0.1:%2\r\n")
                       .arg(port)
                       .arg(web));
    EXPECT_EQ(Get(QStringLiteral("historie.dat")), "\xEF\xBB\xBF"
                                                   "10.12.26 9:05:01_kdo=111\r\n"
                                                   "10.12.26 9:05:01_nazev=\xC5\xA0imon\r\n");
}

TEST_F(EndToEnd, RecordsSentOverTcpEndUpInTheHistory) {
    const quint16 port = FreePort();
    Put(QStringLiteral("data.ini"),
        QStringLiteral("[pripojeni]\r\nport=%1\r\njmeno=1@velora.example\r\nweb=127.0.0.1:%2\r\n")
            .arg(port)
            .arg(FreePort())
            .toUtf8());
    Start();
    ASSERT_TRUE(WaitForWindow()) << "the window did not appear";

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
    ASSERT_TRUE(WaitForWindow(QStringLiteral("111"))) << "no balloon for the record";
    Terminate();

    const QStringList lines = QString::fromUtf8(Get(QStringLiteral("historie.dat")))
                                  .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << lines.join(u'|').toStdString();
    // Each line is "<time>_<key>=<value>"; the record with event code 2 left none.
    const QStringList expected = {
        QStringLiteral("_kdo=111"), QStringLiteral("_nazev=Účetní oddělení"),
        QStringLiteral("_odkaz=http://127.0.0.1:8080/index.php?action=DetailView&record=15"),
        QStringLiteral("_cas=")};
    for (int i = 0; i < 4; ++i) {
        const QString time = lines[i].left(lines[i].indexOf(u'_'));
        EXPECT_FALSE(time.isEmpty());
        EXPECT_EQ(lines[i].mid(time.size()).left(expected[i].size()), expected[i]) << i;
        if (expected[i] == u"_cas=") {
            EXPECT_EQ(lines[i], time + QStringLiteral("_cas=") + time);
        }
    }
}

} // namespace
