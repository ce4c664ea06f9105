#pragma once

// An ejabberd of the test's own on 127.0.0.1, for tests that kill and restart the
// server: the shared fixture of the other tests is never disturbed. It is set up by
// the fixture's own script (tests/xmpp/ejabberd/start) in a temporary folder, and
// keeps its port, accounts and data over a restart.
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

class TPrivateEjabberd {
public:
    ~TPrivateEjabberd() {
        if (FStarted)
            Run(Script(QStringLiteral("stop")), {FDir.path()}, 120000);
    }

    // Sets the server up and starts it; false (with Log() telling why) when it
    // could not.
    bool Start() {
        FStarted = true;
        if (!Run(Script(QStringLiteral("start")), {FDir.path()}, 180000))
            return false;
        QFile file(QDir(FDir.path()).filePath(QStringLiteral("endpoint")));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq > 0)
                FEndpoint[QString::fromUtf8(line.left(eq))] = QString::fromUtf8(line.mid(eq + 1));
        }
        return Port() != 0;
    }

    // Ends the server process at once, as a crash or a power cut would.
    void Kill() {
        const pid_t pid = Pid();
        if (pid <= 0)
            return;
        const int exited = ExitNotice(pid);
        ::kill(pid, SIGKILL);
        WaitForExit(exited, 20000);
    }
    // Stops the server in order, as an administrator would.
    void Stop() {
        const int exited = ExitNotice(Pid());
        Ctl({QStringLiteral("stop")});
        WaitForExit(exited, 60000);
    }
    // Starts the stopped server again; true once it takes connections (within a
    // minute).
    bool Restart() {
        Ctl({QStringLiteral("start")});
        // Nothing announces an open port: it is tried every quarter second.
        for (int i = 0; i < 240; ++i) {
            if (TakesConnections())
                return true;
            QThread::msleep(250);
        }
        return false;
    }
    bool TakesConnections() const {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool open = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(s);
        return open;
    }

    QStringList ConnectedUsers() const {
        return Ctl({QStringLiteral("connected_users")}).split(u'\n', Qt::SkipEmptyParts);
    }

    quint16 Port() const { return FEndpoint.value(QStringLiteral("port")).toUShort(); }
    QString Domain() const { return FEndpoint.value(QStringLiteral("domain")); }
    QString User(int n) const { return FEndpoint.value(QStringLiteral("user%1").arg(n)); }
    QString Jid(int n) const { return User(n) + u'@' + Domain(); }
    QString Password(int n) const { return FEndpoint.value(QStringLiteral("password%1").arg(n)); }
    QString Log() const { return FLog; }

private:
    // A descriptor that becomes readable when the process ends (-1 when it has
    // already gone); the server is not our child, so it cannot be waited for.
    static int ExitNotice(pid_t pid) {
        return pid > 0 ? int(::syscall(SYS_pidfd_open, pid, 0)) : -1;
    }
    static void WaitForExit(int notice, int ms) {
        if (notice < 0)
            return;
        pollfd ended{notice, POLLIN, 0};
        ::poll(&ended, 1, ms);
        ::close(notice);
    }
    static QString Script(const QString& name) {
        return QStringLiteral(VELORA_EJABBERD_SCRIPTS "/") + name;
    }
    pid_t Pid() const {
        QFile file(QDir(FDir.path()).filePath(QStringLiteral("ejabberd.pid")));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
    }
    QString Ctl(const QStringList& arguments) const {
        QProcess p;
        p.start(QDir(FDir.path()).filePath(QStringLiteral("ctl")), arguments);
        p.waitForFinished(120000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    bool Run(const QString& program, const QStringList& arguments, int ms) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, arguments);
        const bool done = p.waitForFinished(ms);
        FLog += QString::fromUtf8(p.readAll());
        return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QTemporaryDir FDir;
    QMap<QString, QString> FEndpoint;
    QString FLog;
    bool FStarted = false;
};
