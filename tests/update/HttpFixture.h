#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// The Python fixture server on 127.0.0.1: it serves the files written into
// Root() and logs every request line with its headers.
class THttpFixture {
public:
    THttpFixture() {
        // No proxy of the machine's may come between the tests and the fixture.
        qputenv("no_proxy", "127.0.0.1,localhost");
        qputenv("NO_PROXY", "127.0.0.1,localhost");
        FServer.setProgram(QStringLiteral("python3"));
        FServer.setArguments({QStringLiteral(WU_HTTP_FIXTURE), FRoot.path(), LogPath()});
        FServer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        FServer.start();
        if (FServer.waitForStarted(10000)) {
            for (int i = 0; i < 100 && !FServer.canReadLine(); ++i)
                FServer.waitForReadyRead(100);
            FPort = FServer.readLine().trimmed().toUShort();
        }
    }
    ~THttpFixture() {
        FServer.kill();
        FServer.waitForFinished(5000);
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

    QTemporaryDir FRoot;
    QTemporaryDir FLogDir;
    QProcess FServer;
    quint16 FPort = 0;
};
