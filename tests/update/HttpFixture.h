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
    // Plain http; with the path of tests/certs/make, https only, with a
    // certificate for "localhost" from a private CA made for this fixture.
    explicit THttpFixture(const QByteArray& makeCertificates = {}) {
        // No proxy of the machine's may come between the tests and the fixture.
        qputenv("no_proxy", "127.0.0.1,localhost");
        qputenv("NO_PROXY", "127.0.0.1,localhost");
        if (!makeCertificates.isEmpty() && !MakeCertificates(makeCertificates))
            return;
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
    // "http://127.0.0.1:{port}{path}" for a path with its leading "/"; over
    // https "https://localhost:{port}{path}", the name in the certificate.
    QString Url(const QString& path) const {
        return (FTls ? QStringLiteral("https://localhost:%1%2")
                     : QStringLiteral("http://127.0.0.1:%1%2"))
            .arg(FPort)
            .arg(path);
    }
    // The private CA's certificate, for https.
    QString CaFile() const { return FCertificates.filePath(QStringLiteral("ca.pem")); }
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

    // Plain forks and execs rather than QProcess: the way QProcess starts a
    // child hides this thread's locks from the thread checker afterwards.
    bool MakeCertificates(const QByteArray& make) {
        const QByteArray dir = QFile::encodeName(FCertificates.path());
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::execl(make.constData(), make.constData(), dir.constData(), "localhost", nullptr);
            ::_exit(127);
        }
        int status = 0;
        FTls = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
        return FTls;
    }

    void Start() {
        const QByteArray script = WU_HTTP_FIXTURE;
        const QByteArray root = QFile::encodeName(FRoot.path());
        const QByteArray log = QFile::encodeName(LogPath());
        const QByteArray certificate = QFile::encodeName(FCertificates.filePath("server.pem"));
        const QByteArray key = QFile::encodeName(FCertificates.filePath("server.key"));
        const char* argv[] = {"python3",
                              script.constData(),
                              root.constData(),
                              log.constData(),
                              FTls ? certificate.constData() : nullptr,
                              key.constData(),
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
    QTemporaryDir FCertificates;
    bool FTls = false;
    pid_t FPid = -1;
    int FStdin = -1; // held open: the server ends when it closes
    quint16 FPort = 0;
};
