#pragma once

// A fixture for the end-to-end tests: the real program, copied to a temporary
// folder, runs on a private Xvfb display; the test looks at it only from the
// outside (windows on the display, files, sockets).
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

// A port nobody listens on right now, below the kernel's ephemeral range so
// that no other test's listener on port 0 is handed it meanwhile.
inline quint16 FreePort() {
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

// Checks the four history lines of one call: "<T>_kdo=…", "<T>_nazev=…",
// "<T>_odkaz=…" and "<T>_cas=<T>", with the same time stamp T.
inline void ExpectOneCallInHistory(const QByteArray& file, const QString& caller,
                                   const QString& name, const QString& link) {
    const QStringList lines =
        QString::fromUtf8(file).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << lines.join(u'|').toStdString();
    const QString time = lines[0].left(lines[0].indexOf(u'_'));
    EXPECT_FALSE(time.isEmpty());
    EXPECT_EQ(lines, QStringList({time + QStringLiteral("_kdo=") + caller,
                                  time + QStringLiteral("_nazev=") + name,
                                  time + QStringLiteral("_odkaz=") + link,
                                  time + QStringLiteral("_cas=") + time}));
}

class RealProgramTest : public testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "Xvfb and xdotool are installed by scripts/setup";
        // -displayfd makes Xvfb pick a free display and print its number; -noreset
        // keeps the server as it is when a killed program was its last client, so
        // the next start does not meet a server in the middle of its reset.
        Xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                    QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x800x24"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        for (int i = 0; i < 100 && Display.isEmpty(); ++i) {
            Xvfb.waitForReadyRead(100);
            const QByteArray out = Xvfb.readAllStandardOutput().trimmed();
            if (!out.isEmpty())
                Display = QStringLiteral(":") + QString::fromLatin1(out);
        }
        ASSERT_FALSE(Display.isEmpty()) << "Xvfb did not start";
        // A runtime folder of the test's own: the program allows one instance
        // per runtime folder, and tests run side by side. No session bus
        // unless a test brings its own.
        Environment = QProcessEnvironment::systemEnvironment();
        Environment.insert(QStringLiteral("DISPLAY"), Display);
        Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        Environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), Runtime.path());
        // The program falls back to, and reads newer copies from, the per-user folder: a
        // private one keeps the runs apart from each other and from the user's own.
        Environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           QDir(Folder.path()).filePath(QStringLiteral("config")));
        Environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + Runtime.filePath(QStringLiteral("none")));
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
        Velora.setProcessEnvironment(Environment);
        Velora.setWorkingDirectory(Folder.path());
        Velora.setProcessChannelMode(QProcess::ForwardedChannels);
        Velora.start(Exe, {});
        ASSERT_TRUE(Velora.waitForStarted(10000));
    }

    // Runs a program on the private display to its end (at most 30 s) and
    // returns its standard output.
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
    // The id of that window once it is mapped, within 90 seconds (a loaded
    // machine starts the web engine slowly); empty when it never came or the
    // program ended.
    QString WaitForWindow(const QString& title = QStringLiteral("Velora")) {
        QString id;
        PollDisplay(
            [&] {
                id = FindWindow(title);
                return !id.isEmpty() || Velora.state() == QProcess::NotRunning;
            },
            90000);
        return id;
    }
    // Looks again every 200 ms until done() or ms have passed. The display's
    // windows are known only by asking its server, which tells nothing to a test
    // that is not one of its clients.
    template <typename Done> bool PollDisplay(Done done, int ms = 30000) {
        const QDeadlineTimer deadline(ms);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(200);
        }
        return true;
    }

    void Terminate() {
        Velora.terminate(); // SIGTERM
        ASSERT_TRUE(Velora.waitForFinished(30000));
        EXPECT_EQ(Velora.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(Velora.exitCode(), 0);
    }

    QTemporaryDir Folder;
    QTemporaryDir Runtime;
    QProcessEnvironment Environment; // the program's
    QString Exe;
    QString Display;
    QProcess Xvfb;
    QProcess Velora;
};
