#pragma once

#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

// The Python fixture server on 127.0.0.1: it serves the files written into
// Root() and logs every request line with its headers.
class THttpFixture {
public:
    THttpFixture() {
        // No proxy of the machine's may come between the tests and the fixture.
        qputenv("no_proxy", "127.0.0.1,localhost");
        qputenv("NO_PROXY", "127.0.0.1,localhost");
        Start();
    }
    ~THttpFixture() {
        if (FPid > 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        if (FStdin >= 0)
            ::close(FStdin);
    }

    quint16 Port() const { return FPort; }
    QString Root() const { return FRoot.path(); }
    // "http://127.0.0.1:{port}{path}" for a path with its leading "/".
    QString Url(const QString& path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(FPort).arg(path);
    }
    void Put(const QString& name, const QByteArray& content) const {
        QFile file(FRoot.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    QString Log() const {
        QFile file(LogPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
    }
    void ClearLog() const { QFile::remove(LogPath()); }
    // The request lines in the order the server received them.
    QStringList RequestLines() const {
        QStringList lines;
        for (const QString& line : Log().split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("GET ")))
                lines << line;
        }
        return lines;
    }

private:
    QString LogPath() const { return FLogDir.filePath(QStringLiteral("requests.log")); }

    // A plain fork and exec rather than QProcess: the way QProcess starts a
    // child hides this thread's locks from the thread checker afterwards.
    void Start() {
        const QByteArray script = WU_HTTP_FIXTURE;
        const QByteArray root = QFile::encodeName(FRoot.path());
        const QByteArray log = QFile::encodeName(LogPath());
        const char* argv[] = {"python3", script.constData(), root.constData(), log.constData(),
                              nullptr};
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(input[0], 0);
            ::dup2(output[1], 1);
            ::execvp("python3", const_cast<char* const*>(argv));
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        FStdin = input[1];
        QByteArray line;
        char c = 0;
        while (FPid > 0 && ::read(output[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(output[0]);
        FPort = line.trimmed().toUShort();
    }

    QTemporaryDir FRoot;
    QTemporaryDir FLogDir;
    pid_t FPid = -1;
    int FStdin = -1; // held open: the server ends when it closes
    quint16 FPort = 0;
};
